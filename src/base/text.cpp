#include "base/text.h"

#include <cstdint>
#include <cstring>

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace tamber {
namespace {

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

icu::UnicodeString normalised(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfcNormaliser = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) {
    return text;  // ICU data missing: fall back to the text as given
  }
  icu::UnicodeString result = nfcNormaliser->normalize(text, status);
  return U_FAILURE(status) ? text : result;
}

}  // namespace

std::string validUtf8(std::string_view bytes) {
  if (isAscii(bytes)) {
    return std::string(bytes);
  }
  return toUtf8(icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), bytes.size())));
}

bool isValidUtf8(std::string_view bytes) {
  // Well-formed sequences as Unicode defines them (its table 3-7): no overlong forms, no
  // surrogates, nothing past U+10FFFF; exactly what validUtf8 leaves unchanged.
  if (isAscii(bytes)) {
    return true;
  }
  const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = at + bytes.size();
  while (at < end) {
    const unsigned char lead = *at;
    if (lead < 0x80) {
      ++at;
      continue;
    }
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - at) < length || at[1] < low || at[1] > high) {
      return false;
    }
    for (size_t i = 2; i < length; ++i) {
      if (at[i] < 0x80 || at[i] > 0xBF) {
        return false;
      }
    }
    at += length;
  }
  return true;
}

std::string foldedLower(std::string_view text) {
  if (isAscii(text)) {
    std::string lower(text);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      }
    }
    return lower;
  }
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  unicode.toLower(icu::Locale::getRoot());
  return toUtf8(normalised(unicode));
}

std::string nfc(std::string_view text) {
  if (isAscii(text)) {
    return std::string(text);
  }
  return toUtf8(
      normalised(icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()))));
}

bool isAscii(std::string_view text) {
  // Eight bytes at a time: a text is ASCII when no byte has its high bit set.
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, 8);
    if ((word & kHighBits) != 0) {
      return false;
    }
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) {
      return false;
    }
  }
  return true;
}

std::string shellQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string hexText(const unsigned char* bytes, size_t count) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace tamber
