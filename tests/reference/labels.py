"""Label wrapping: the break rule written out step by step."""


def split_text(s, N_max=20):
    if not len(s) > N_max:
        return s
    positions = [i for i, c in enumerate(s) if c == " "] + [len(s) - 1]
    ps, pc = [], 0
    for j, p in enumerate(positions):
        if j > 0 and p - pc > N_max:
            ps.append(positions[j - 1] + 1)
            pc = positions[j - 1] + 1
    s2 = s
    for p in reversed(ps):
        s2 = s2[:p] + "\n" + s2[p:]
    return s2
