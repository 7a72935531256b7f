// The template language of the path table: literal text, $NAME and ${NAME}
// references, backslash escapes. One tokenizer serves expansion (resolving
// mode: escapes are decoded) and override installation (preserving mode: the
// text keeps its escapes so it can be stored as a template again).
#pragma once

#include <string>
#include <string_view>

namespace ztbase::pathconfig {

enum class Mode { Resolving, Preserving };

struct Token {
    enum Kind { End, Literal, Reference } kind = End;
    std::string text; // literal text, or the referenced name
    bool braced = false;
};

class Tokenizer {
  public:
    Tokenizer(std::string_view tmpl, Mode mode) : rest_(tmpl), mode_(mode) {}
    // The next token; End when the template is used up.
    Token next();
    // The character right after the last token, or '\0' at the end.
    char peek() const { return rest_.empty() ? '\0' : rest_.front(); }

  private:
    std::string_view rest_;
    Mode mode_;
};

// True for characters that may begin, or continue, a label.
inline bool label_start(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
inline bool label_char(char c) {
    return label_start(c) || (c >= '0' && c <= '9');
}

} // namespace ztbase::pathconfig
