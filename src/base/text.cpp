#include "base/text.h"

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
  return isAscii(bytes) || validUtf8(bytes) == bytes;
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
  for (unsigned char c : text) {
    if (c >= 0x80) {
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
