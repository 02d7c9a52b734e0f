// Welch's t statistics per column, reproducing scipy's and numpy's order of
// floating-point operations (see welch.hpp).
#include "welch.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace pelorkit::kernels {
namespace {

// numpy's pairwise_sum for float64 (loops_utils.h): below 8 values a running
// sum from 0, up to 128 values eight interleaved accumulators, above that two
// halves cut at a multiple of 8.
double pairwise_block(const double *v, std::size_t n) {
    if (n < 8) {
        double res = 0.;
        for (std::size_t i = 0; i < n; ++i)
            res += v[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j)
            r[j] = v[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t j = 0; j < 8; ++j)
                r[j] += v[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i)
            res += v[i];
        return res;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_block(v, half) + pairwise_block(v + half, n - half);
}

double sum_in_order(const double *v, std::size_t n, SumOrder order) {
    if (order == SumOrder::pairwise)
        return sum_pairwise(v, n);
    double res = 0.;
    for (std::size_t i = 0; i < n; ++i)
        res += v[i];
    return res;
}

// x ** 2 on an array is numpy's square, x * x; on a numpy float64 scalar it is
// pow(x, 2), which the compiler must not turn into x * x.
double square_of_array_element(double x) {
    return x * x;
}
double square_of_scalar(double x) {
    volatile double two = 2.0;
    return std::pow(x, two);
}

struct Moments {
    double mean;
    double var; // with the n / (n - 1) correction
    bool precision_loss;
};

// scipy's _moment(x, 2) and _var(ddof=1) on n values; `scratch` holds n.
Moments moments(const double *values, std::size_t n, SumOrder order, double eps10,
                double *scratch) {
    const double count = static_cast<double>(n);
    const double mean = sum_in_order(values, n, order) / count;
    double max_dev = 0.;
    bool dev_is_nan = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double dev = values[i] - mean;
        scratch[i] = dev * dev;
        const double size = std::fabs(dev);
        dev_is_nan |= std::isnan(size);
        // A select, not a branch: which value raises the maximum is
        // unpredictable, and clang keeps an if here as a jump (a NaN size
        // compares false and leaves the maximum as it is).
        max_dev = size > max_dev ? size : max_dev;
    }
    double var = sum_in_order(scratch, n, order) / count;
    var *= count / (count - 1.0);
    // scipy's catastrophic-cancellation check: the largest deviation is below
    // eps10 of the mean.
    const bool loss = !dev_is_nan && n > 1 && max_dev / std::fabs(mean) < eps10;
    return {mean, var, loss};
}

std::size_t gather_column(double *out, const SampleTable &table, std::size_t col, bool drop_nan) {
    std::size_t n = 0;
    for (std::size_t r = 0; r < table.rows; ++r) {
        const double v = table.at(r, col);
        if (!(drop_nan && std::isnan(v)))
            out[n++] = v;
    }
    return n;
}

} // namespace

double sum_pairwise(const double *values, std::size_t n) {
    return 0. + pairwise_block(values, n);
}

Status scan_values(ValueRange &out, const SampleTable &table, InterruptPoll poll) {
    std::size_t work = 0;
    for (std::size_t c = 0; c < table.cols; ++c) {
        for (std::size_t r = 0; r < table.rows; ++r) {
            const double v = table.at(r, c);
            if (std::isnan(v))
                out.nan = true;
            else if (std::isinf(v))
                out.inf = true;
            else if (std::fabs(v) > out.largest)
                out.largest = std::fabs(v);
        }
        work += table.rows;
        if (work >= kPollStride) {
            work = 0;
            if (poll())
                return Status::interrupted;
        }
    }
    return Status::done;
}

WelchWarnings compute_welch_columns(std::span<double> dof, std::span<double> neg_abs_t,
                                    const SampleTable &a, SumOrder a_order, const SampleTable &b,
                                    SumOrder b_order, WelchRoute route, double cancellation_eps,
                                    InterruptPoll poll) {
    const bool per_column = route == WelchRoute::per_column;
    if (per_column) {
        a_order = SumOrder::pairwise;
        b_order = SumOrder::pairwise;
    }
    const auto square = per_column ? square_of_scalar : square_of_array_element;
    std::vector<double> va(a.rows), vb(b.rows), scratch(a.rows > b.rows ? a.rows : b.rows);
    WelchWarnings warnings;
    std::size_t work = 0;
    for (std::size_t j = 0; j < a.cols; ++j) {
        const std::size_t n1 = gather_column(va.data(), a, j, per_column);
        const std::size_t n2 = gather_column(vb.data(), b, j, per_column);
        work += a.rows + b.rows;
        if (work >= kPollStride) {
            work = 0;
            if (poll())
                return warnings;
        }
        if (n1 == 0 || n2 == 0) {
            // scipy skips the test of this column and fills NaN
            warnings.too_small = true;
            dof[j] = std::numeric_limits<double>::quiet_NaN();
            neg_abs_t[j] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const Moments m1 = moments(va.data(), n1, a_order, cancellation_eps, scratch.data());
        const Moments m2 = moments(vb.data(), n2, b_order, cancellation_eps, scratch.data());
        warnings.precision_loss = warnings.precision_loss || m1.precision_loss || m2.precision_loss;
        warnings.single_value = warnings.single_value || n1 == 1 || n2 == 1;

        const double vn1 = m1.var / static_cast<double>(n1);
        const double vn2 = m2.var / static_cast<double>(n2);
        double df = square(vn1 + vn2) / (square(vn1) / static_cast<double>(n1 - 1) +
                                         square(vn2) / static_cast<double>(n2 - 1));
        if (std::isnan(df))
            df = 1.;
        const double denom = std::sqrt(vn1 + vn2);
        const double t = (m1.mean - m2.mean) / denom;
        dof[j] = df;
        neg_abs_t[j] = -std::fabs(t);
    }
    return warnings;
}

} // namespace pelorkit::kernels
