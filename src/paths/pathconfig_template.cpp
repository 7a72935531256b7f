#include "paths/pathconfig_template.h"

namespace ztbase::pathconfig {

Token Tokenizer::next() {
    Token t;
    if (rest_.empty())
        return t;
    if (rest_.front() != '$') {
        t.kind = Token::Literal;
        while (!rest_.empty() && rest_.front() != '$') {
            char c = rest_.front();
            rest_.remove_prefix(1);
            if (c == '\\') {
                if (rest_.empty()) { // a backslash at the very end ends the text
                    if (mode_ == Mode::Preserving)
                        t.text.push_back('\\');
                    break;
                }
                if (mode_ == Mode::Preserving)
                    t.text.push_back('\\');
                c = rest_.front();
                rest_.remove_prefix(1);
            }
            t.text.push_back(c);
        }
        return t;
    }

    // A "$": a reference when a name follows, else literal text.
    std::string_view start = rest_;
    rest_.remove_prefix(1);
    auto read_name = [this](std::string &name) {
        while (!rest_.empty() && label_char(rest_.front())) {
            name.push_back(rest_.front());
            rest_.remove_prefix(1);
        }
    };
    auto skip_blanks = [this] {
        while (!rest_.empty() &&
               (rest_.front() == ' ' || rest_.front() == '\t' || rest_.front() == '\n' ||
                rest_.front() == '\r' || rest_.front() == '\f' || rest_.front() == '\v'))
            rest_.remove_prefix(1);
    };
    if (!rest_.empty() && label_start(rest_.front())) {
        t.kind = Token::Reference;
        read_name(t.text);
        return t;
    }
    if (!rest_.empty() && rest_.front() == '{') {
        rest_.remove_prefix(1);
        skip_blanks();
        std::string name;
        if (!rest_.empty() && label_start(rest_.front())) {
            read_name(name);
            skip_blanks();
            if (!rest_.empty() && rest_.front() == '}') {
                rest_.remove_prefix(1);
                t.kind = Token::Reference;
                t.text = std::move(name);
                t.braced = true;
                return t;
            }
        }
    }
    // Not a reference: what was consumed comes back as text, its "$" escaped so
    // that a later pass keeps it literal.
    t.kind = Token::Literal;
    t.text.assign(1, '\\');
    t.text.append(start.substr(0, start.size() - rest_.size()));
    return t;
}

} // namespace ztbase::pathconfig
