// Builds zt's help and its manual page from one source, zt.txt:
//   mkhelp zt.txt VERSION help_table.cpp zt.1
// zt.txt: an introduction, then "# COMMAND [SUBCOMMAND]" sections whose lines
// starting with "zt " are the synopsis and the rest the description, then
// "## HEADING" sections for the manual page alone.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Section {
    std::string key;
    bool man_only = false;
    std::vector<std::string> synopsis;
    std::vector<std::string> text;
};

std::string join(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &l : lines)
        out += l + "\n";
    return out;
}

// A line of running text for troff: backslashes and hyphens escaped, and a
// leading '.' or '\'' kept from being read as a request.
std::string troff(const std::string &line) {
    std::string out;
    for (char c : line) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out = "\\&" + out;
    return out;
}

void paragraphs(std::ostream &out, const std::vector<std::string> &text) {
    bool fresh = true;
    for (const std::string &l : text) {
        if (l.empty()) {
            fresh = true;
            continue;
        }
        if (fresh)
            out << ".PP\n";
        fresh = false;
        out << troff(l) << "\n";
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::cerr << "usage: mkhelp zt.txt VERSION help_table.cpp zt.1\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "mkhelp: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::vector<std::string> intro;
    std::vector<Section> sections;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## ", 0) == 0) {
            sections.push_back({line.substr(3), true, {}, {}});
        } else if (line.rfind("# ", 0) == 0) {
            sections.push_back({line.substr(2), false, {}, {}});
        } else if (sections.empty()) {
            intro.push_back(line);
        } else if (!sections.back().man_only && line.rfind("zt ", 0) == 0 &&
                   sections.back().text.empty()) {
            sections.back().synopsis.push_back(line);
        } else {
            sections.back().text.push_back(line);
        }
    }
    while (!intro.empty() && intro.back().empty())
        intro.pop_back();
    for (Section &s : sections)
        while (!s.text.empty() && s.text.back().empty())
            s.text.pop_back();

    std::ofstream table(argv[3]);
    table << "// Made by mkhelp from zt.txt: edit that file instead.\n"
             "#include \"help.h\"\n\nnamespace zt {\n\n"
             "const char *const kHelpIntro = R\"zt("
          << join(intro)
          << ")zt\";\n\n"
             "const HelpSection kHelpSections[] = {\n";
    size_t count = 0;
    for (const Section &s : sections) {
        if (s.man_only)
            continue;
        table << "    {R\"zt(" << s.key << ")zt\", R\"zt(" << join(s.synopsis) << ")zt\", R\"zt("
              << join(s.text) << ")zt\"},\n";
        ++count;
    }
    table << "};\n\nconst int kHelpSectionCount = " << count << ";\n\n} // namespace zt\n";

    std::ofstream man(argv[4]);
    man << ".TH ZT 1 \"\" \"libztbase " << argv[2] << "\" \"User Commands\"\n"
        << ".SH NAME\nzt \\- the command\\-line tool of libztbase\n.SH SYNOPSIS\n.nf\n";
    for (const Section &s : sections)
        for (const std::string &l : s.synopsis)
            man << troff(l) << "\n";
    man << ".fi\n.SH DESCRIPTION\n";
    paragraphs(man, intro);
    man << ".SH COMMANDS\n";
    for (const Section &s : sections) {
        if (s.man_only)
            continue;
        man << ".SS " << troff(s.key) << "\n.nf\n";
        for (const std::string &l : s.synopsis)
            man << ".B " << troff(l) << "\n";
        man << ".fi\n";
        paragraphs(man, s.text);
    }
    for (const Section &s : sections)
        if (s.man_only) {
            man << ".SH " << troff(s.key) << "\n";
            paragraphs(man, s.text);
        }
    if (!table || !man) {
        std::cerr << "mkhelp: cannot write the outputs\n";
        return 1;
    }
    return 0;
}
