// Form text the server can store. The pages are in the server's single-byte
// code page (windows-1252, the code page of every text slot and of the
// database); a browser that is asked for a character outside it (a "Ł", a
// "€" in another code page, an emoji) sends the numeric reference "&#321;"
// in its place. Stored as it came, that reference would be shown to every
// player as the six characters it is made of, so the commands refuse such
// text with a message that says why, and keep the old value.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

inline constexpr const char* kPageCharset = "windows-1252";

// Whether `text` holds a numeric character reference ("&#321;", "&#x141;").
bool HoldsCharacterReference(std::string_view text);
// `text` escaped for HTML, except that its numeric character references
// stay references: a refused form shows again what was typed ("Ł", not
// "&#321;").
std::string HtmlEscapeKeepingReferences(std::string_view text);
// The message of a refusal for the field `label`.
std::string UnstorableTextMessage(std::string_view label);
