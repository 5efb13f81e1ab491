# Writes OUTPUT, a C++ source holding every file of SOURCE_DIR as a byte array, so that the
# engine carries its page with it wherever it is installed. Run with cmake -P.
file(GLOB asset_paths RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
list(SORT asset_paths)
set(arrays "")
set(table "")
set(index 0)
foreach(name ${asset_paths})
  file(READ ${SOURCE_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kAsset${index}[] = {${bytes} 0x00};\n")
  string(APPEND table "    {\"${name}\", {reinterpret_cast<const char*>(kAsset${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new
"// Generated from src/engine/inventory/web by embed_web_assets.cmake; do not edit.
#include \"engine/inventory/web_assets.h\"

#include <utility>

namespace tamber::engine {
namespace {
${arrays}
const std::pair<std::string_view, std::string_view> kAssets[] = {
${table}};
}  // namespace

std::optional<std::string_view> webAsset(std::string_view name) {
  for (const auto& [assetName, content] : kAssets) {
    if (assetName == name) {
      return content;
    }
  }
  return std::nullopt;
}

}  // namespace tamber::engine
")
# Touch the output only when it changed, so an unchanged page relinks nothing.
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
