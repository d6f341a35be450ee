// Formula tokenizer over UTF-8 bytes.
//
// Every character the scanner dispatches on is ASCII, and UTF-8 never uses
// ASCII byte values inside a multi-byte sequence, so the scan works on
// bytes; code-point positions are only counted for error messages.
#include "formula/formula.h"

#include "utils/utils.h"

#include <array>
#include <cstring>

namespace tvx {
namespace {

// Bytes that end a run of plain operand characters.
constexpr std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> t{};
    for (const char* p = "\"'[# \n+-*/^&=><%{()};,"; *p; ++p) t[(unsigned char)*p] = true;
    return t;
}();

constexpr std::array<bool, 256> kEnder = [] {
    std::array<bool, 256> t{};
    for (const char* p = ",;}) +-*/^&=><%"; *p; ++p) t[(unsigned char)*p] = true;
    return t;
}();

constexpr std::string_view kErrorCodes[] = {
    "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA",
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "1.5E": a mantissa whose "+" or "-" continues the number as an exponent.
// A single line feed may follow the "E", as Python's "$" allows.
bool is_exponent_stem(std::string_view s) {
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
    if (s.size() < 2 || s[0] < '1' || s[0] > '9') return false;
    std::size_t i = 1;
    if (s[i] == '.') {
        std::size_t start = ++i;
        while (i < s.size() && is_digit(s[i])) ++i;
        if (i == start) return false;
    }
    return i + 1 == s.size() && (s[i] == 'E' || s[i] == 'e');
}

class Scanner {
public:
    Scanner(std::string_view f, std::vector<FormulaToken>& out) : f_(f), out_(out) {}

    FormulaError run();

private:
    std::string_view f_;
    std::vector<FormulaToken>& out_;
    std::size_t pos_ = 0;
    std::string pend_;     // pending token: its pieces joined
    char last_piece_ = 0;  // the last piece if it is one ASCII character, else 0
    std::vector<TokenType> openers_;
    // Last emitted token other than whitespace; Literal stands for none.
    TokenType last_type_ = TokenType::Literal;
    TokenSubtype last_subtype_ = TokenSubtype::None;

    void emit(std::string_view value, TokenType type, TokenSubtype sub = TokenSubtype::None) {
        out_.push_back(FormulaToken{std::string(value), type, sub});
        if (type != TokenType::Whitespace) {
            last_type_ = type;
            last_subtype_ = sub;
        }
    }
    void emit_owned(std::string&& value, TokenType type, TokenSubtype sub) {
        out_.push_back(FormulaToken{std::move(value), type, sub});
        last_type_ = type;
        last_subtype_ = sub;
    }
    // Emits an operand classified from its text; false for NeedPython.
    bool emit_operand(std::string&& value) {
        OperandKind kind = classify_operand(value);
        if (kind == OperandKind::NeedPython) return false;
        emit_owned(std::move(value), TokenType::Operand, static_cast<TokenSubtype>(kind));
        return true;
    }
    bool save_pending() {
        if (pend_.empty()) return true;
        std::string value;
        value.swap(pend_);
        last_piece_ = 0;
        return emit_operand(std::move(value));
    }

    // A pending token may stand before a string, "#" or "{" only when its
    // last piece is `allowed` (0: never).
    bool pending_may_precede(char allowed) const {
        return pend_.empty() || (allowed != 0 && last_piece_ == allowed);
    }

    FormulaError unexpected_character() const;
    FormulaError quoted();
    FormulaError brackets();
    FormulaError error_literal();
    void whitespace();
    void op();
    FormulaError closer(char ch);
    void comma();
};

// Code-point index of byte offset `pos`.
std::size_t code_point_index(std::string_view f, std::size_t pos) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < pos; ++i) n += ((unsigned char)f[i] & 0xC0) != 0x80;
    return n;
}

[[gnu::cold]] FormulaError Scanner::unexpected_character() const {
    std::string m = "Unexpected character at position ";
    m += std::to_string(code_point_index(f_, pos_));
    m += " in '";
    m.append(f_);
    m += "'";
    return FormulaError::tokenizer(std::move(m));
}

FormulaError Scanner::quoted() {
    const char delim = f_[pos_];
    if (!pending_may_precede(':')) return unexpected_character();
    std::size_t i = pos_ + 1;
    std::size_t end;
    for (;;) {
        const void* hit =
            i < f_.size() ? std::memchr(f_.data() + i, delim, f_.size() - i) : nullptr;
        if (!hit) {
            std::string m = "Reached end of formula while parsing ";
            m += delim == '"' ? "string" : "link";
            m += " in ";
            m.append(f_);
            return FormulaError::tokenizer(std::move(m));
        }
        end = (std::size_t)((const char*)hit - f_.data());
        if (end + 1 < f_.size() && f_[end + 1] == delim) {  // doubled quote: part of the text
            i = end + 2;
            continue;
        }
        break;
    }
    std::string_view text = f_.substr(pos_, end + 1 - pos_);
    pos_ = end + 1;
    if (delim == '"') {
        // Starts with a double quote, so classify_operand says Text.
        emit(text, TokenType::Operand, TokenSubtype::Text);
    } else {
        pend_.append(text);
        last_piece_ = 0;
    }
    return FormulaError::ok();
}

FormulaError Scanner::brackets() {
    int depth = 0;
    for (std::size_t i = pos_; i < f_.size(); ++i) {
        if (f_[i] == '[') {
            ++depth;
        } else if (f_[i] == ']' && --depth == 0) {
            pend_.append(f_.substr(pos_, i + 1 - pos_));
            last_piece_ = 0;
            pos_ = i + 1;
            return FormulaError::ok();
        }
    }
    std::string m = "Encountered unmatched '[' in ";
    m.append(f_);
    return FormulaError::tokenizer(std::move(m));
}

FormulaError Scanner::error_literal() {
    if (!pending_may_precede('!')) return unexpected_character();
    std::string_view rest = f_.substr(pos_);
    for (std::string_view code : kErrorCodes) {
        if (rest.starts_with(code)) {
            std::string value;
            value.swap(pend_);
            last_piece_ = 0;
            value.append(code);
            pos_ += code.size();
            if (!emit_operand(std::move(value))) return FormulaError::need_python();
            return FormulaError::ok();
        }
    }
    std::string m = "Invalid error code at position ";
    m += std::to_string(code_point_index(f_, pos_));
    m += " in '";
    m.append(f_);
    m += "'";
    return FormulaError::tokenizer(std::move(m));
}

void Scanner::whitespace() {
    emit(f_.substr(pos_, 1), TokenType::Whitespace);
    while (pos_ < f_.size() && (f_[pos_] == ' ' || f_[pos_] == '\n')) ++pos_;
}

void Scanner::op() {
    const char ch = f_[pos_];
    if (pos_ + 1 < f_.size()) {
        std::string_view pair = f_.substr(pos_, 2);
        if (pair == ">=" || pair == "<=" || pair == "<>") {
            emit(pair, TokenType::OpIn);
            pos_ += 2;
            return;
        }
    }
    TokenType type;
    if (ch == '%') {
        type = TokenType::OpPost;
    } else if (ch == '+' || ch == '-') {
        // Infix after a value: an operand, a closer or a postfix operator.
        const bool after_value = last_subtype_ == TokenSubtype::Close ||
                                 last_type_ == TokenType::Operand ||
                                 last_type_ == TokenType::OpPost;
        type = after_value ? TokenType::OpIn : TokenType::OpPre;
    } else {
        type = TokenType::OpIn;
    }
    emit(f_.substr(pos_, 1), type);
    ++pos_;
}

FormulaError Scanner::closer(char ch) {
    if (openers_.empty()) return FormulaError::pop_empty();
    TokenType opener = openers_.back();
    openers_.pop_back();
    if (ch != (opener == TokenType::Array ? '}' : ')')) {
        std::string m = "Mismatched ( and { pair in '";
        m.append(f_);
        m += "'";
        return FormulaError::tokenizer(std::move(m));
    }
    emit(f_.substr(pos_, 1), opener, TokenSubtype::Close);
    ++pos_;
    return FormulaError::ok();
}

void Scanner::comma() {
    // Outside a function or array a comma joins ranges.
    if (openers_.empty() || openers_.back() == TokenType::Paren) {
        emit(",", TokenType::OpIn);
    } else {
        emit(",", TokenType::Sep, TokenSubtype::Arg);
    }
    ++pos_;
}

FormulaError Scanner::run() {
    out_.clear();
    if (f_.empty()) return FormulaError::ok();
    if (f_[0] != '=') {
        emit(f_, TokenType::Literal);
        return FormulaError::ok();
    }
    pos_ = 1;
    const std::size_t n = f_.size();
    while (pos_ < n) {
        const char ch = f_[pos_];
        const unsigned char uch = (unsigned char)ch;
        if (!kSpecial[uch]) {
            // A run of plain characters, each a piece of the pending token.
            std::size_t start = pos_;
            while (pos_ < n && !kSpecial[(unsigned char)f_[pos_]]) ++pos_;
            pend_.append(f_.substr(start, pos_ - start));
            const char last = f_[pos_ - 1];
            last_piece_ = (unsigned char)last < 0x80 ? last : 0;
            continue;
        }
        if ((ch == '+' || ch == '-') && !pend_.empty() && is_exponent_stem(pend_)) {
            pend_ += ch;
            last_piece_ = ch;
            ++pos_;
            continue;
        }
        if (kEnder[uch] && !save_pending()) return FormulaError::need_python();
        switch (ch) {
            case '"':
            case '\'':
                if (auto e = quoted()) return e;
                break;
            case '[':
                if (auto e = brackets()) return e;
                break;
            case '#':
                if (auto e = error_literal()) return e;
                break;
            case ' ':
            case '\n':
                whitespace();
                break;
            case '{':
                if (!pending_may_precede(0)) return unexpected_character();
                emit("{", TokenType::Array, TokenSubtype::Open);
                openers_.push_back(TokenType::Array);
                ++pos_;
                break;
            case '(':
                if (pend_.empty()) {
                    emit("(", TokenType::Paren, TokenSubtype::Open);
                    openers_.push_back(TokenType::Paren);
                } else {
                    // "NAME(": two or more characters ending in "(" are never
                    // an array or plain parenthesis, and never a closer.
                    std::string value;
                    value.swap(pend_);
                    last_piece_ = 0;
                    value += '(';
                    emit_owned(std::move(value), TokenType::Func, TokenSubtype::Open);
                    openers_.push_back(TokenType::Func);
                }
                ++pos_;
                break;
            case ')':
            case '}':
                if (auto e = closer(ch)) return e;
                break;
            case ';':
                emit(";", TokenType::Sep, TokenSubtype::Row);
                ++pos_;
                break;
            case ',':
                comma();
                break;
            default:  // the operators
                op();
                break;
        }
    }
    if (!save_pending()) return FormulaError::need_python();
    return FormulaError::ok();
}

}  // namespace

FormulaError tokenize(std::string_view formula, std::vector<FormulaToken>& out) {
    return Scanner(formula, out).run();
}

}  // namespace tvx
