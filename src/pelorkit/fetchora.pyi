"""Type stubs of pelorkit.fetchora, the data-loading functions.

Data-set catalogs, download by file identifier, archive unpacking and loaders
that return AnnData.

They hold the full documentation of every function, for IDEs and pydoc;
at run time each function's ``__doc__`` is its signature line.
"""

import os
from typing import Any, TypeVar

import anndata

_P = TypeVar("_P", str, os.PathLike[str])

sample_data_fid_dict_gz: dict[str, str]
sample_data_fid_dict: dict[str, str]
processed_sample_data_fid_dict: dict[str, str]

def download_from_google_drive(file_id: Any, out_path: Any = "downloaded") -> Any:
    """Download one file of the file-hosting service by its file identifier.

    The transfer is done by ``gdown.download(url, out_path, quiet=False)``
    (the module attribute ``gdown``), which shows its own progress. This is
    the only network access of the module.

    Parameters
    ----------
    file_id : str
        File identifier (33 characters), appended unchanged to the
        direct-download address; any other object contributes its text.
    out_path : str or path-like, default "downloaded"
        Local file to write; relative to the current working directory.

    Returns
    -------
    str or path-like
        ``out_path``, the very object passed, whatever the transfer
        reported: check the file (the next unpacking step does).

    Raises
    ------
    Exception
        Whatever gdown raises (an identifier that names no file, no
        network, a refused write) propagates unchanged.

    Examples
    --------
    >>> import pelorkit.fetchora as fetchora
    >>> file_id = "<your 33-character file id>"
    >>> fetchora.download_from_google_drive(file_id, "my_data.zip")  # doctest: +SKIP
    'my_data.zip'
    """

def decompress_gz(file_in: Any, file_out: _P, remove_gz: Any = True) -> _P | None:
    """Decompress a gzip file, streaming it to ``file_out``.

    Prints ``File saved to: <file_out>`` on success.

    Parameters
    ----------
    file_in : str or path-like
        The gzip-compressed file.
    file_out : str or path-like
        The file to write (created or overwritten).
    remove_gz : bool, default True
        Remove ``file_in`` afterwards.

    Returns
    -------
    str or path-like or None
        ``file_out`` (the object passed) on success; None on any error,
        silently (a file that is not gzip, a missing input, an unwritable
        output), leaving whatever was already written.

    Examples
    --------
    >>> import gzip, os, tempfile
    >>> import pelorkit.fetchora as fetchora
    >>> os.chdir(tempfile.mkdtemp())
    >>> with gzip.open("notes.txt.gz", "wb") as f:
    ...     _ = f.write(b"hello")
    >>> fetchora.decompress_gz("notes.txt.gz", "notes.txt")
    File saved to: notes.txt
    'notes.txt'
    >>> sorted(os.listdir("."))
    ['notes.txt']
    """

def decompress_zip(file_in: Any, extract_dir: Any = "./", remove_zip: Any = True) -> Any | None:
    """Extract every member of a zip archive into a directory.

    Prints ``Files extracted to: <extract_dir>`` on success. Members that
    would land outside ``extract_dir`` are refused.

    Parameters
    ----------
    file_in : str or path-like
        The zip archive.
    extract_dir : str or path-like, default "./"
        Directory to extract into (created when missing).
    remove_zip : bool, default True
        Remove ``file_in`` afterwards.

    Returns
    -------
    str or path-like or None
        ``extract_dir`` (the object passed) on success; None on any error,
        silently.

    Examples
    --------
    >>> import os, tempfile, zipfile
    >>> import pelorkit.fetchora as fetchora
    >>> os.chdir(tempfile.mkdtemp())
    >>> with zipfile.ZipFile("two.zip", "w") as zf:
    ...     zf.writestr("a.txt", "a")
    ...     zf.writestr("b.txt", "b")
    >>> fetchora.decompress_zip("two.zip", "out")
    Files extracted to: out
    'out'
    >>> sorted(os.listdir("out"))
    ['a.txt', 'b.txt']
    """

def decompress_zip_and_move(
    file_in: Any, extract_dir: Any = "temp_extract", remove_zip: Any = True
) -> str | None:
    """Extract a zip archive that holds exactly one file into the working directory.

    The member is extracted into the scratch directory ``extract_dir``, moved
    to the working directory under its base name (replacing a file of that
    name), and the scratch directory is deleted with everything in it.

    Parameters
    ----------
    file_in : str or path-like
        The zip archive. A member inside a folder usually comes with the
        folder's own entry, which makes two members.
    extract_dir : str or path-like, default "temp_extract"
        Scratch directory, reserved for this use: it is deleted.
    remove_zip : bool, default True
        Remove ``file_in`` afterwards.

    Returns
    -------
    str or None
        The base name of the member on success. None when the archive does
        not hold exactly one member (after printing a message, leaving the
        extraction in place) or on an error (after printing the error's
        text).

    Raises
    ------
    KeyboardInterrupt
        Interruptions are not caught.

    Examples
    --------
    >>> import os, tempfile, zipfile
    >>> import pelorkit.fetchora as fetchora
    >>> os.chdir(tempfile.mkdtemp())
    >>> with zipfile.ZipFile("one.zip", "w") as zf:
    ...     zf.writestr("data/cells.h5ad", "...")
    >>> fetchora.decompress_zip_and_move("one.zip")
    'cells.h5ad'
    >>> sorted(os.listdir("."))
    ['cells.h5ad']
    """

def decompress_tar_gz(file_in: Any, remove_org: Any = True) -> str | None:
    """Extract the first entry of a gzip-compressed tar archive into the working directory.

    The archive is extracted into the scratch directory ``extract_tmp``
    (cleared first); the first top-level entry, or the first entry inside
    it when it is a directory, is moved to the working directory under its
    own name (replacing a file of that name), and the scratch directory is
    deleted with every other entry. Prints ``File saved to: <name>`` on
    success. Members that would land outside the scratch directory are
    refused.

    Parameters
    ----------
    file_in : str or path-like
        The ``.tar.gz`` archive, ideally holding one file, or one directory
        with one file.
    remove_org : bool, default True
        Remove ``file_in`` afterwards.

    Returns
    -------
    str or None
        The name of the kept entry, relative to the working directory; None
        on any error, silently (a plain tar or zip archive, a corrupt or
        empty archive).

    Examples
    --------
    >>> import io, os, tarfile, tempfile
    >>> import pelorkit.fetchora as fetchora
    >>> os.chdir(tempfile.mkdtemp())
    >>> with tarfile.open("data.tar.gz", "w:gz") as tar:
    ...     info = tarfile.TarInfo("release/cells.h5ad")
    ...     info.size = 3
    ...     tar.addfile(info, io.BytesIO(b"..."))
    >>> fetchora.decompress_tar_gz("data.tar.gz")
    File saved to: cells.h5ad
    'cells.h5ad'
    """

def load_h5ad(tissue: Any, file_type: str = "zip") -> str | None:
    """Download a sample data set by name and unpack it to a ``.h5ad`` file.

    Looks ``tissue`` up in `sample_data_fid_dict`, downloads the archive to
    ``downloaded``, unpacks it in the working directory and checks that the
    file reads with ``anndata.read_h5ad``.

    Parameters
    ----------
    tissue : str
        A key of `sample_data_fid_dict` ("Lung", "PDAC", ...), exact case.
    file_type : {"zip", "gz", "tar.gz"}, default "zip"
        Archive type of the download. ``"gz"`` writes ``<tissue>.h5ad``.

    Returns
    -------
    str or None
        Path of the unpacked ``.h5ad`` file in the working directory. None,
        after printing ``tissue must be one of <keys>.``, for an unknown
        name (nothing is downloaded); None, silently, for a ``file_type``
        that is none of the three (the download stays as ``downloaded``).

    Raises
    ------
    Exception
        Errors of the download and of reading the file propagate (an
        unpacking step that failed makes the reader fail).

    Examples
    --------
    >>> import pelorkit.fetchora as fetchora
    >>> fetchora.load_h5ad("Heart") is None
    tissue must be one of Breast, BC, BRCA, Colitis-hs, Colitis-mm, Colon, ...
    True
    """

def load_anndata(tissue: Any, file_type: str = "zip") -> anndata.AnnData | None:
    """Download a sample data set by name and read it as ``AnnData``.

    Calls `load_h5ad` (module attribute) and reads the file it returns; the
    ``.h5ad`` file stays in the working directory.

    Parameters
    ----------
    tissue : str
        A key of `sample_data_fid_dict`, exact case.
    file_type : {"zip", "gz", "tar.gz"}, default "zip"
        Archive type of the download.

    Returns
    -------
    anndata.AnnData or None
        The data set; None when `load_h5ad` returns None (unknown name,
        after its message; unknown ``file_type``).

    Raises
    ------
    Exception
        Errors of the download and of reading the file propagate.

    Examples
    --------
    Point a catalog key at your own file identifier, then load by name:

    >>> import pelorkit.fetchora as fetchora
    >>> fetchora.sample_data_fid_dict["Lung"] = "<your 33-character file id>"  # doctest: +SKIP
    >>> adata = fetchora.load_anndata("Lung")  # doctest: +SKIP
    """

def load_sample_data(file_id_or_tissue_name: Any, file_type: str = "zip") -> anndata.AnnData | None:
    """Load a sample data set by name or by file identifier as ``AnnData``.

    A key of `sample_data_fid_dict` is passed on to `load_anndata`. Any
    other value is downloaded as a file identifier, unpacked according to
    ``file_type`` (``"gz"`` writes ``downloaded.h5ad``) and read. Failures
    on the identifier path print an ``ERROR:`` line and hints, and return
    None.

    Parameters
    ----------
    file_id_or_tissue_name : str
        A catalog key ("Lung", ...) or the file identifier of your own
        archive holding one ``.h5ad`` file.
    file_type : {"zip", "gz", "tar.gz"}, default "zip"
        Archive type of the download.

    Returns
    -------
    anndata.AnnData or None
        The data set. None after ``ERROR: The file_id you requested does not
        exist.`` (the download failed), ``ERROR: The file_type might be a
        wrong one.`` (unknown type or failed unpacking) or ``ERROR: Cannot
        read the downloaded file.``, each followed by hints.

    Raises
    ------
    Exception
        For a catalog key, as `load_anndata`.

    Examples
    --------
    >>> import pelorkit.fetchora as fetchora
    >>> adata = fetchora.load_sample_data("<your 33-character file id>")  # doctest: +SKIP
    """

def load_pelor_processed_anndata(
    tissue: Any = None, file_type: str = "tar.gz"
) -> anndata.AnnData | None:
    """Download a processed data set by name and read it as ``AnnData``.

    Looks ``tissue`` up in `processed_sample_data_fid_dict`, downloads,
    unpacks according to ``file_type`` and reads the ``.h5ad`` file, which
    stays in the working directory.

    Parameters
    ----------
    tissue : str or None, default None
        A key of `processed_sample_data_fid_dict` ("Lung", "Brain",
        "Kidney(normal)", ...), exact case.
    file_type : {"tar.gz", "gz", "zip"}, default "tar.gz"
        Archive type of the download. ``"gz"`` writes ``<tissue>.h5ad``.

    Returns
    -------
    anndata.AnnData or None
        The data set. None after printing ``tissue must be one of
        <keys>.`` for an unknown or missing name; None, silently, when the
        download or the unpacking fails or ``file_type`` is unknown.

    Raises
    ------
    Exception
        Errors of reading the unpacked file propagate.

    Examples
    --------
    >>> import pelorkit.fetchora as fetchora
    >>> fetchora.load_pelor_processed_anndata() is None
    tissue must be one of Lung, NSCLC, Colon, CRC, Breast, BC, BRCA, Pancreas, ...
    True
    """

def load_pelor_processed_sample_data(
    file_id_or_tissue_name: Any = None, file_type: str = "tar.gz"
) -> anndata.AnnData | None:
    """Load a processed data set by name or by file identifier as ``AnnData``.

    A key of `processed_sample_data_fid_dict` is passed on to
    `load_pelor_processed_anndata`. Any other value is downloaded as a file
    identifier, unpacked according to ``file_type`` (``"gz"`` writes
    ``downloaded.h5ad``) and read.

    Parameters
    ----------
    file_id_or_tissue_name : str or None, default None
        A catalog key or the file identifier of your own archive.
    file_type : {"tar.gz", "gz", "zip"}, default "tar.gz"
        Archive type of the download.

    Returns
    -------
    anndata.AnnData or None
        The data set. None after ``ERROR: The file_id you requested does not
        exist.`` (the download failed) or ``ERROR: The file_type might be a
        wrong one.`` (unknown type), each followed by a hint.

    Raises
    ------
    Exception
        Errors of reading the file propagate, also when the unpacking step
        failed.

    Examples
    --------
    >>> import pelorkit.fetchora as fetchora
    >>> adata = fetchora.load_pelor_processed_sample_data("<your file id>")  # doctest: +SKIP
    """
