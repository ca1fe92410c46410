# Writes OUT, a C++ file holding FILES (the page's files) as byte arrays with
# their paths and content types, for findWebAsset(). Run with cmake -P;
# FILES is separated by "|".
string(REPLACE "|" ";" FILES "${FILES}")
set(entries "")
set(arrays "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  else()
    set(type "text/plain; charset=utf-8")
  endif()
  string(APPEND arrays "const unsigned char kAsset${index}[] = {${bytes} 0};\n")
  string(APPEND entries "    {\"/${name}\", \"${type}\", {reinterpret_cast<const char*>(kAsset${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUT}.tmp "// Generated from web/ by cmake/EmbedWebAssets.cmake; do not edit.
#include \"vistel/web/web_assets.h\"

namespace vistel::web {

namespace {
${arrays}
const WebAsset kAssets[] = {
${entries}};
}  // namespace

const WebAsset* findWebAsset(std::string_view path) {
  for (const WebAsset& asset : kAssets) {
    if (asset.path == path) return &asset;
  }
  return nullptr;
}

}  // namespace vistel::web
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
