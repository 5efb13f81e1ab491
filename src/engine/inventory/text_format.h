#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tamber::engine {

// `text` with &, <, >, " and ' written as character references, safe inside HTML text and
// inside quoted attribute values; bytes that are not UTF-8 become U+FFFD, as validUtf8 says.
std::string htmlEscaped(std::string_view text);

// A size for people, in decimal units as the desktop shows them: "512 bytes", "1.5 kB",
// "12.4 GB".
std::string humanBytes(uint64_t bytes);

// `page` with each {{name}} field replaced by fields[name], in one pass, so that nothing
// inserted is read as a field. Every field the page names must be given.
std::string filledTemplate(std::string_view page,
                           const std::map<std::string_view, std::string>& fields);

}  // namespace tamber::engine
