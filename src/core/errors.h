// Error values of the engine's parsing cores.
//
// Readers return a ReadError: a falsy value on success, otherwise
// Malformed/Unsupported with a fixed message, or Source when the byte
// source failed (the host's own error is then pending and is passed on
// unchanged by the layer that talks to the host). Formula code returns a
// FormulaError. Nothing here knows about Python; lib/errors.h maps these
// values to exceptions.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tvx {

enum class ErrKind : std::uint8_t { None, Malformed, Unsupported, Source };

struct [[nodiscard]] ReadError {
    ErrKind kind = ErrKind::None;
    const char* message = nullptr;

    static constexpr ReadError ok() { return {}; }
    static constexpr ReadError malformed(const char* m) { return {ErrKind::Malformed, m}; }
    static constexpr ReadError unsupported(const char* m) { return {ErrKind::Unsupported, m}; }
    // The byte source failed; its error is pending with the host.
    static constexpr ReadError source() { return {ErrKind::Source, nullptr}; }

    // True when this is an error: `if (auto e = step()) return e;`
    constexpr explicit operator bool() const { return kind != ErrKind::None; }
};

#define TVX_TRY(expr)                                            \
    do {                                                         \
        if (::tvx::ReadError tvx_err_ = (expr)) return tvx_err_; \
    } while (0)

// Prefixes of the fallback messages, by kind ("" for None and Source).
constexpr const char* read_error_prefix(ErrKind kind) noexcept {
    switch (kind) {
        case ErrKind::Malformed:
            return "malformed: ";
        case ErrKind::Unsupported:
            return "unsupported: ";
        case ErrKind::None:
        case ErrKind::Source:
            break;
    }
    return "";
}

enum class FormulaErrKind : std::uint8_t { None, Tokenizer, Translator, PopEmpty, NeedPython };

struct [[nodiscard]] FormulaError {
    FormulaErrKind kind = FormulaErrKind::None;
    std::string message;  // Tokenizer and Translator only

    static FormulaError ok() { return {}; }
    static FormulaError tokenizer(std::string m) {
        return {FormulaErrKind::Tokenizer, std::move(m)};
    }
    static FormulaError translator(std::string m) {
        return {FormulaErrKind::Translator, std::move(m)};
    }
    static FormulaError pop_empty() { return {FormulaErrKind::PopEmpty, {}}; }
    static FormulaError need_python() { return {FormulaErrKind::NeedPython, {}}; }

    explicit operator bool() const { return kind != FormulaErrKind::None; }
};

}  // namespace tvx
