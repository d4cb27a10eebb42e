// chain.cpp: chaining the cells of a trace into lines.
#include "geo/chain.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "files/formats.h"

namespace tools {

std::vector<std::vector<Cell>> cells_by_code(const std::vector<uint8_t> &cells, int rows, int cols) {
    std::vector<std::vector<Cell>> by_code(formats::MAX_CODES + 1);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) {
            uint8_t v = cells[static_cast<size_t>(i) * cols + j];
            if (v >= 1 && v <= formats::MAX_CODES) by_code[v].push_back({i, j});
        }
    return by_code;
}

// A cell's neighbours are numbered side ones first (0 N, 1 E, 2 S, 3 W),
// then the diagonals (4 NE, 5 SE, 6 SW, 7 NW): a line follows the first
// left in that order.

std::vector<Line> chain(const std::vector<Cell> &trace) {
    // The cells in row-major order, each once; each one's neighbours (by
    // index, -1 where none), and how many of them are not yet on a line,
    // kept as cells are taken.
    std::vector<Cell> cells(trace);
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
    const size_t n = cells.size();
    std::vector<long> next(8 * n, -1);
    std::vector<int> free_next(n, 0);
    // Rows one after another: a pointer into the row above and one into
    // the row below follow the columns along, so that finding them all
    // takes one pass.
    auto link = [&](size_t k, int d, size_t m) {
        next[8 * k + static_cast<size_t>(d)] = static_cast<long>(m);
        free_next[k]++;
    };
    size_t row_start = 0, above = 0, above_end = 0, below = 0;
    for (size_t k = 0; k < n; k++) {
        const Cell c = cells[k];
        if (k == 0 || cells[k - 1].i != c.i) {
            // A new row: the rows next to it, where present.
            const bool had_above = k > 0 && cells[k - 1].i == c.i - 1;
            above = had_above ? row_start : n;
            above_end = had_above ? k : n;
            row_start = k;
            size_t e = k;
            while (e < n && cells[e].i == c.i) e++;
            below = e < n && cells[e].i == c.i + 1 ? e : n;
        }
        if (k > row_start && cells[k - 1].j == c.j - 1) link(k, 3, k - 1);
        if (k + 1 < n && cells[k + 1].i == c.i && cells[k + 1].j == c.j + 1) link(k, 1, k + 1);
        if (above < above_end) {
            while (above < above_end && cells[above].j < c.j - 1) above++;
            for (size_t m = above; m < above_end && cells[m].j <= c.j + 1; m++)
                link(k, cells[m].j < c.j ? 7 : cells[m].j == c.j ? 0 : 4, m);
        }
        if (below < n) {
            while (below < n && cells[below].i == c.i + 1 && cells[below].j < c.j - 1) below++;
            for (size_t m = below; m < n && cells[m].i == c.i + 1 && cells[m].j <= c.j + 1; m++)
                link(k, cells[m].j < c.j ? 6 : cells[m].j == c.j ? 2 : 5, m);
        }
    }
    std::vector<char> on_line(n, 0);
    // Which cells are left, and which of them have one or no neighbour
    // left, as bits: the first of each is found a word at a time.
    const size_t words = (n + 63) / 64;
    std::vector<uint64_t> left_bits(words, 0), one_bits(words, 0), none_bits(words, 0);
    auto mark = [&](std::vector<uint64_t> &bits, size_t k, bool on) {
        if (on) bits[k / 64] |= uint64_t(1) << (k % 64);
        else bits[k / 64] &= ~(uint64_t(1) << (k % 64));
    };
    for (size_t k = 0; k < n; k++) {
        mark(left_bits, k, true);
        mark(one_bits, k, free_next[k] == 1);
        mark(none_bits, k, free_next[k] == 0);
    }
    size_t left = n;
    auto take = [&](size_t k) {
        on_line[k] = 1;
        left--;
        mark(left_bits, k, false);
        mark(one_bits, k, false);
        mark(none_bits, k, false);
        for (int d = 0; d < 8; d++) {
            const long m = next[8 * k + static_cast<size_t>(d)];
            if (m < 0) continue;
            const size_t at = static_cast<size_t>(m);
            free_next[at]--;
            if (!on_line[at]) {
                mark(one_bits, at, free_next[at] == 1);
                mark(none_bits, at, free_next[at] == 0);
            }
        }
    };
    // The first cell left, in row-major order, with one neighbour left,
    // with none, or any; n when there is none.
    auto first_of = [&](const std::vector<uint64_t> &bits) {
        for (size_t w = 0; w < words; w++)
            if (bits[w] != 0) return w * 64 + static_cast<size_t>(__builtin_ctzll(bits[w]));
        return n;
    };

    std::vector<Line> lines;
    while (left > 0) {
        // Open lines from their ends, then lone cells, then what is left: loops.
        size_t start = first_of(one_bits);
        bool loop = false;
        if (start == n) start = first_of(none_bits);
        if (start == n) {
            start = first_of(left_bits);
            loop = true;
        }
        Line line{cells[start]};
        take(start);
        for (size_t at = start;;) {
            int d = 0;
            while (d < 8 && (next[8 * at + static_cast<size_t>(d)] < 0 || on_line[static_cast<size_t>(next[8 * at + static_cast<size_t>(d)])])) d++;
            if (d == 8) break;
            at = static_cast<size_t>(next[8 * at + static_cast<size_t>(d)]);
            take(at);
            line.push_back(cells[at]);
        }
        const Cell last = line.back(), first = cells[start];
        if (loop && line.size() > 2 && std::abs(last.i - first.i) <= 1 && std::abs(last.j - first.j) <= 1)
            line.push_back(first);
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace tools
