// Foundation: the text utilities shared across subsystems. Every text is a
// byte string; nothing here knows about character encodings, keeps state or
// throws for malformed input (a bad escape stays in place or, for the strict
// decoders, gives nothing; a bad number gives the fallback). Any thread may
// call them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Splits text at every occurrence of the whole delimiter string. A piece
// before a delimiter is kept unless skipEmpty is set and it is empty; the
// piece after the last delimiter is kept only when it is not empty. An empty
// delimiter does not split: a non-empty text comes back as one piece.
std::vector<std::string> splitText(const std::string& text, const std::string& delimiter,
                                   bool skipEmpty);

// Drop the leading / trailing / both characters that are in set.
std::string trimLeft(const std::string& text, const std::string& set);
std::string trimRight(const std::string& text, const std::string& set);
std::string trim(const std::string& text, const std::string& set);

// Replaces each "%" followed by a number in base 16 (up to two characters,
// read as strtol does: leading blanks and a sign allowed, stopping at the
// first non-digit) by one byte of the number's low 8 bits; the escape takes
// the percent sign and the two characters after it. A "%" without a number
// stays. A decoded "%" is not decoded again.
std::string percentDecode(const std::string& text);

// A value of an application/x-www-form-urlencoded body: "+" is a blank, then
// percent escapes are decoded (so %2B gives a literal plus).
std::string formValueDecode(const std::string& text);

// Strict forms of both, for what a client sends (paths, query and form
// values): every "%" must be followed by exactly two hexadecimal digits.
// Nothing when one is not; what such an escape would mean is left unguessed.
std::optional<std::string> percentDecodeStrict(std::string_view text);
std::optional<std::string> formValueDecodeStrict(std::string_view text);
// Whether percentDecodeStrict would decode text (nothing is copied).
bool percentEscapesWellFormed(std::string_view text);

// Escapes CR, LF, TAB, FF, BS, backslash and both quotes for a script string
// literal (\r \n \t \f \b \\ \" \'); other bytes pass unchanged.
std::string escapeForScript(const std::string& text);

// Escapes text for XML or HTML character data and quoted attribute values:
// & < > " ' as entities, and CR, LF and TAB as character references so that
// they survive in an attribute value. Other bytes pass unchanged.
std::string xmlEscape(const std::string& text);

// Turns the entities of xmlEscape, "&apos;" and decimal or hexadecimal
// character references (as UTF-8) back into their bytes; an "&" that starts
// none of them stays as it is.
std::string xmlUnescape(const std::string& text);

// Makes text that a client sent safe to write into a log or diagnostic line:
// '"' and '\' and every byte below 0x20 or above 0x7E become "\xHH", so a
// value can neither close a quoted field nor start a line or a terminal
// sequence. Other bytes pass unchanged.
std::string escapeForLog(std::string_view text);

// Drops blanks and tabs at both ends (a field value's optional white space).
std::string_view trimBlanks(std::string_view text);

// Equal but for the case of ASCII letters (tokens, scheme and coding names).
bool sameLetters(std::string_view a, std::string_view b);

// Reads a decimal unsigned 64-bit number after optional leading white space
// and an optional "+", stopping at the first non-digit. No digit, a minus
// sign or a value out of range give fallback.
std::uint64_t parseUnsignedOr(const std::string& text, std::uint64_t fallback);
