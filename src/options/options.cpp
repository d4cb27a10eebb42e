// options.cpp: reading a command line against its declaration.
#include "options/options.h"

#include <cstdio>

#include "files/formats.h"

namespace opt {

std::string Line::value(const std::string &name, const std::string &fallback) const {
    const auto it = given.find(name);
    return it == given.end() || it->second.empty() ? fallback : it->second.front();
}

std::string help(const Command &c) {
    std::string text = c.head;
    for (const Option &o : c.options) text += o.help;
    return text + c.help_line + c.tail;
}

int usage_error(const std::string &tool, const std::string &what) {
    fprintf(stderr, "%s: %s\n(%s --help tells how to use it)\n", tool.c_str(), what.c_str(), tool.c_str());
    return 2;
}

int failure(const std::string &tool, const std::string &what) {
    fprintf(stderr, "%s: %s\n", tool.c_str(), what.c_str());
    return 1;
}

int parse(const Command &c, int argc, char **argv, Line &line) {
    bool options = true;  // until "--": every word after it is an argument
    for (int k = 1; k < argc; k++) {
        const std::string a = argv[k];
        if (options && a == "--") {
            options = false;
            continue;
        }
        if (!options) {
            if (static_cast<int>(line.args.size()) >= c.max_args) return usage_error(c.tool, c.one_more + formats::printable(a, 4096));
            line.args.push_back(a);
            continue;
        }
        if (a == "-h" || a == "--help") {
            fputs(help(c).c_str(), stdout);
            return 0;
        }
        const Option *o = nullptr;
        for (const Option &d : c.options)
            if (a == d.name || (!d.alias.empty() && a == d.alias)) o = &d;
        if (o != nullptr) {
            const std::string needs = o->needs.empty() ? a + " needs a value" : o->needs;
            if (k + o->values >= argc) return usage_error(c.tool, needs);
            std::vector<std::string> &v = line.given[o->name];
            v.assign(argv + k + 1, argv + k + 1 + o->values);
            int n;
            for (const std::string &w : v)
                if (o->whole && !formats::parse_int(w, n)) return usage_error(c.tool, needs);
            k += o->values;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error(c.tool, c.unknown + formats::printable(a, 4096));
        } else if (static_cast<int>(line.args.size()) < c.max_args) {
            line.args.push_back(a);
        } else {
            return usage_error(c.tool, c.one_more + formats::printable(a, 4096));
        }
    }
    if (static_cast<int>(line.args.size()) < c.min_args) return usage_error(c.tool, c.missing);
    return -1;
}

}  // namespace opt
