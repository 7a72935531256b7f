// Message catalogue files: the line format and its reader.
//
// A catalogue is a text file of lines. A line that begins with "#" is a
// comment. A message line is the identifier (printable ASCII, no blank),
// blanks, a double quote, then the text up to the last double quote of the
// line; whatever follows that quote is ignored. In the text "\b", "\f", "\n",
// "\r", "\t" and "\v" stand for the control characters and a backslash before
// any other character stands for that character. Characters are those of the
// catalogue's character set: a multibyte character is copied whole, so a
// trail byte that happens to equal "\" or '"' (Shift-JIS, Big5, GBK) is part
// of its character. A line of any length is read whole (no line is cut at
// 8192 bytes, so the rest of a long line can never pass for a message line of
// its own); a line ending "\r\n" reads as one ending "\n". Lines with a NUL
// byte, without a second double quote or without an identifier are skipped.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace ztbase::msgcat {

// Steps over the characters of a character set (named as iconv and ICU name
// them: "UTF-8", "SJIS", "EUC-JP", "ISO-8859-1", ...). Unknown names and
// UTF-8 step by UTF-8; invalid bytes are one character each. Not thread-safe.
class CharSet {
  public:
    explicit CharSet(const std::string &codeset);
    ~CharSet();
    CharSet(const CharSet &) = delete;
    CharSet &operator=(const CharSet &) = delete;
    // The bytes of the character at p: at least 1, at most end - p.
    size_t step(const char *p, const char *end);
    bool utf8() const { return converter_ == nullptr; }

  private:
    void *converter_ = nullptr; // an ICU converter for other character sets
};

struct Message {
    std::string id, text;
};

// One line without its line end; false for comments and skipped lines.
bool parse_line(std::string_view line, CharSet &charset, Message &out);

// Every message line of a catalogue's bytes, in file order.
void parse_catalogue(std::string_view bytes, CharSet &charset,
                     const std::function<void(Message &&)> &each);

} // namespace ztbase::msgcat
