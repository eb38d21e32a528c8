// UTF-16 <-> UTF-8, the one conversion of the system's wide texts (packet
// fields, process environments).
#pragma once

#include <string>
#include <string_view>

namespace vt::os {

// A lone surrogate becomes '?': the result is always valid UTF-8.
std::string Utf16ToUtf8(std::u16string_view s);
// Bytes that are not UTF-8 become the UTF-16 unit of the same value.
std::u16string Utf8ToUtf16(std::string_view s);

// File names, which here are bytes: any byte sequence comes back as it
// was. Bytes that are not UTF-8 become the lone surrogates U+DC80..U+DCFF
// and those become the bytes again; the rest converts as above.
std::u16string FileNameToUtf16(std::string_view s);
std::string Utf16ToFileName(std::u16string_view s);

}  // namespace vt::os
