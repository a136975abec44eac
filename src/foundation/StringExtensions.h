#pragma once

#include <string>
#include <string_view>

namespace ulmora {

// Text helpers the service and the engine driver share. All texts are UTF-8.
// Thread-safety: pure functions.

// The stored form of a password or key back to text: every UTF-16 code unit
// of the stored text shifted right by one bit. Lone surrogates in the stored
// form (which the shift produces) are read in their 3-byte encoding; a byte
// that is not UTF-8 at all reads as U+FFFD. The result is always valid UTF-8.
std::string decryptedString(std::string_view stored);

// The inverse of decryptedString: every UTF-16 unit shifted left by one bit,
// lone surrogates written in their 3-byte encoding. Only texts whose UTF-16
// units are all below U+8000 survive the round trip (the top bit is lost).
std::string encryptedString(std::string_view text);

// `text` escaped for a URL query value: A-Z a-z 0-9 "-._~" stay, every other
// byte becomes "%XX" (upper-case hex).
std::string stringByAddingRFC3875PercentEscapes(std::string_view text);

// "+" becomes a blank and "%XX" the byte XX; a "%" not followed by two hex
// digits stays as it is. The result holds the decoded bytes even where they
// are not valid UTF-8 (file names are bytes).
std::string URLDecode(std::string_view text);

// The deepest nesting of arrays and objects in a JSON text, brackets inside
// strings not counted. Cheap and flat, so a parser need never see a text
// nested deeper than its caller allows.
int jsonNestingDepth(std::string_view text);

}  // namespace ulmora
