// options.cpp: reading a command line against its declaration.
#include "options/options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/version.h"
#include "files/formats.h"

namespace opt {

std::string Line::value(const std::string &name, const std::string &fallback) const {
    const auto it = given.find(name);
    return it == given.end() || it->second.empty() ? fallback : it->second.front();
}

int Line::unit() const { return has("--unit") ? formats::unit_of_name(value("--unit")) : -1; }

int Line::whole(const std::string &name, int fallback) const {
    int n = fallback;
    return has(name) && formats::parse_int(value(name), n) ? n : fallback;
}

std::string help(const Command &c) {
    std::string text = c.head;
    for (const Option &o : c.options) text += o.help;
    // --version under -h, --help, its words in the same column.
    const size_t at = c.help_line.find("this text");
    std::string version = "  --version";
    if (at != std::string::npos && at > version.size()) version.resize(at, ' ');
    else version += "  ";
    return text + c.help_line + version + "the program's version\n" + c.tail;
}

Option whole_in(Option o, double lo, double hi, const std::string &unit, const std::string &bad, const std::string &outside) {
    o.kind = Kind::whole;
    o.lo = lo;
    o.hi = hi;
    o.unit = unit;
    o.bad = bad;
    o.outside = outside;
    return o;
}

Option number_in(Option o, double lo, double hi, const std::string &unit, const std::string &bad) {
    o.kind = Kind::number;
    o.lo = lo;
    o.hi = hi;
    o.unit = unit;
    o.bad = bad;
    return o;
}

Option choice_of(Option o, const std::vector<std::string> &choices, const std::string &bad, const std::string &fallback) {
    o.kind = Kind::choice;
    o.choices = choices;
    o.bad = bad;
    o.fallback = fallback;
    return o;
}

Option defaults_to(Option o, const std::string &value) {
    o.fallback = value;
    return o;
}

Option of_kind(Option o, Kind kind, const std::string &bad) {
    o.kind = kind;
    o.bad = bad;
    return o;
}

Option unit_option(const std::string &help, const std::string &bad) {
    return choice_of({"--unit", "", 1, help, ""}, {"m", "dm", "cm", "mm"}, bad);
}

Option geometry_option(const std::string &help, const std::string &fallback) {
    return choice_of({"--geometry", "", 1, help, ""}, {"true", "classic"}, "--geometry takes classic or true, not {}", fallback);
}

Option background_option(const std::string &help) {
    return choice_of({"--background", "", 1, help, ""}, {"white", "black"}, "--background takes white or black, not {}", "white");
}

namespace {

const char *kind_name(Kind k) {
    switch (k) {
    case Kind::flag: return "flag";
    case Kind::text: return "text";
    case Kind::name: return "name";
    case Kind::file: return "file";
    case Kind::output: return "output";
    case Kind::whole: return "whole";
    case Kind::number: return "number";
    case Kind::choice: return "choice";
    case Kind::epsg: return "epsg";
    }
    return "text";
}

// A JSON string.
std::string quoted(const std::string &s) {
    std::string q = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') q += '\\', q += static_cast<char>(c);
        else if (c == '\n') q += "\\n";
        else if (c < 0x20) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            q += b;
        } else q += static_cast<char>(c);
    }
    return q + "\"";
}

// The shortest text that reads back as the same double.
std::string number_text(double v) {
    char b[32];
    for (int digits = 15; digits <= 17; digits++) {
        snprintf(b, sizeof b, "%.*g", digits, v);
        if (strtod(b, nullptr) == v) break;
    }
    return b;
}

// The help of an option in one line: its lines joined, the option's own
// name and the blanks before the words left out.
std::string one_line(const Option &o) {
    std::string out;
    size_t at = 0;
    bool first = true;
    while (at < o.help.size()) {
        size_t end = o.help.find('\n', at);
        if (end == std::string::npos) end = o.help.size();
        std::string l = o.help.substr(at, end - at);
        at = end + 1;
        size_t k = l.find_first_not_of(' ');
        if (k == std::string::npos) continue;
        l = l.substr(k);
        if (first && l[0] == '-') {
            // "--zone N   the zone": the words after the widest gap
            const size_t gap = l.find("  ");
            l = gap == std::string::npos ? std::string() : l.substr(l.find_first_not_of(' ', gap));
        }
        first = false;
        if (!l.empty()) out += (out.empty() ? "" : " ") + l;
    }
    return out;
}

// A value against its option's kind; "" when it is taken, else the refusal.
std::string refusal(const Option &o, const std::string &v) {
    auto told = [&](const std::string &pattern) {
        const std::string shown = formats::printable(v);
        std::string t = pattern.empty() ? o.name + " takes " + kind_name(o.kind) + " values, not {}" : pattern;
        const size_t at = t.find("{}");
        if (at != std::string::npos) t.replace(at, 2, shown);
        return t;
    };
    switch (o.kind) {
    case Kind::whole: {
        int n;
        if (!formats::parse_int(v, n)) return told(o.bad);
        if (n < o.lo || n > o.hi) return told(o.outside.empty() ? o.bad : o.outside);
        return "";
    }
    case Kind::number: {
        char *end = nullptr;
        const double x = strtod(v.c_str(), &end);
        if (end == v.c_str() || *end != '\0' || !std::isfinite(x) || x < o.lo || x > o.hi) return told(o.bad);
        return "";
    }
    case Kind::choice:
        for (const std::string &c : o.choices)
            if (v == c) return "";
        return told(o.bad);
    case Kind::name: return formats::single_name(v) ? "" : told(o.bad);
    case Kind::epsg: {
        bool ok = v.size() > 5 && v.size() <= 11 && v.compare(0, 5, "EPSG:") == 0;
        for (size_t c = 5; ok && c < v.size(); c++) ok = v[c] >= '0' && v[c] <= '9';
        return ok ? "" : told(o.bad);
    }
    default: return "";
    }
}

}  // namespace

std::string describe(const Command &c) {
    std::string j = "{\n \"program\": " + quoted(c.tool) + ",\n \"arguments\": [";
    for (size_t k = 0; k < c.arguments.size(); k++) j += (k ? ", " : "") + quoted(c.arguments[k]);
    j += "],\n \"options\": [\n";
    for (size_t k = 0; k < c.options.size(); k++) {
        const Option &o = c.options[k];
        const Kind kind = o.values == 0 ? Kind::flag : o.kind;
        j += "  {\"name\": " + quoted(o.name);
        if (!o.alias.empty()) j += ", \"alias\": " + quoted(o.alias);
        j += ", \"kind\": " + quoted(kind_name(kind)) + ", \"values\": " + std::to_string(o.values);
        if (kind == Kind::choice) {
            j += ", \"choices\": [";
            for (size_t n = 0; n < o.choices.size(); n++) j += (n ? ", " : "") + quoted(o.choices[n]);
            j += "]";
        }
        if (kind == Kind::whole || kind == Kind::number) {
            if (o.lo > -1e308) j += ", \"min\": " + number_text(o.lo);
            if (o.hi < 1e308) j += ", \"max\": " + number_text(o.hi);
        }
        if (!o.unit.empty()) j += ", \"unit\": " + quoted(o.unit);
        if (!o.fallback.empty()) j += ", \"default\": " + quoted(o.fallback);
        j += ", \"help\": " + quoted(one_line(o)) + "}" + (k + 1 < c.options.size() ? ",\n" : "\n");
    }
    return j + " ]\n}\n";
}

int usage_error(const std::string &tool, const std::string &what) {
    fprintf(stderr, "%s: %s\n(%s --help tells how to use it)\n", tool.c_str(), what.c_str(), tool.c_str());
    return 2;
}

int failure(const std::string &tool, const std::string &what) {
    fprintf(stderr, "%s: %s\n", tool.c_str(), what.c_str());
    return 1;
}

int finish(const std::string &tool, const tolmar::Status &s) {
    if (s.ok()) return 0;
    return s.error().kind == tolmar::Error::Kind::misused ? usage_error(tool, s.error().message)
                                                          : failure(tool, s.error().message);
}

tolmar::Listener printing(const std::string &tool) {
    tolmar::Listener l;
    l.said = [tool](const std::string &text, bool own) {
        if (own) fputs((tool + ": ").c_str(), stdout);
        fputs(text.c_str(), stdout);
    };
    l.noted = [tool](const std::string &note) { fprintf(stderr, "%s: %s\n", tool.c_str(), note.c_str()); };
    return l;
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
        if (a == "--version") {
            printf("%s %s (%s)\n", c.tool.c_str(), TOLMAR_VERSION, TOLMAR_VERSION_DATE);
            return 0;
        }
        if (a == "--describe") {
            fputs(describe(c).c_str(), stdout);
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
            for (const std::string &w : v) {
                if (o->whole && !formats::parse_int(w, n)) return usage_error(c.tool, needs);
                const std::string why = refusal(*o, w);
                if (!why.empty()) return usage_error(c.tool, why);
            }
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
