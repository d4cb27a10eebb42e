// chain.cpp: chaining the cells of a trace into lines.
#include "geo/chain.h"

#include <algorithm>
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

namespace {

// Side neighbours first (N, E, S, W), then the diagonals (NE, SE, SW, NW).
const int DI[8] = {-1, 0, 1, 0, -1, 1, 1, -1};
const int DJ[8] = {0, 1, 0, -1, 1, 1, -1, -1};

}  // namespace

std::vector<Line> chain(const std::vector<Cell> &trace) {
    // The cells in row-major order, each once, and which are not yet on a
    // line: a cell is found by halving, without a node of its own.
    std::vector<Cell> cells(trace);
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
    std::vector<char> on_line(cells.size(), 0);
    size_t left = cells.size(), first_left = 0;
    auto index_of = [&](int i, int j) -> size_t {
        const Cell c{i, j};
        const auto it = std::lower_bound(cells.begin(), cells.end(), c);
        return it != cells.end() && *it == c ? static_cast<size_t>(it - cells.begin()) : cells.size();
    };
    auto free_at = [&](int i, int j) {
        const size_t k = index_of(i, j);
        return k < cells.size() && !on_line[k];
    };
    auto take = [&](const Cell &c) {
        on_line[index_of(c.i, c.j)] = 1;
        left--;
        while (first_left < cells.size() && on_line[first_left]) first_left++;
    };
    auto neighbours_left = [&](const Cell &c) {
        int n = 0;
        for (int d = 0; d < 8; d++) n += free_at(c.i + DI[d], c.j + DJ[d]);
        return n;
    };
    // The first cell left, in row-major order, with `n` neighbours left
    // (any number when n is -1).
    auto first_with = [&](int n) {
        for (size_t k = first_left; k < cells.size(); k++)
            if (!on_line[k] && (n < 0 || neighbours_left(cells[k]) == n)) return cells[k];
        return Cell{-1, -1};
    };

    std::vector<Line> lines;
    while (left > 0) {
        // Open lines from their ends, then lone cells, then what is left: loops.
        Cell start = first_with(1);
        bool loop = false;
        if (start.i < 0) start = first_with(0);
        if (start.i < 0) {
            start = first_with(-1);
            loop = true;
        }
        Line line{start};
        take(start);
        for (Cell at = start;;) {
            int d = 0;
            while (d < 8 && !free_at(at.i + DI[d], at.j + DJ[d])) d++;
            if (d == 8) break;
            at = {at.i + DI[d], at.j + DJ[d]};
            take(at);
            line.push_back(at);
        }
        const Cell last = line.back();
        if (loop && line.size() > 2 && std::abs(last.i - start.i) <= 1 &&
            std::abs(last.j - start.j) <= 1)
            line.push_back(start);
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace tools
