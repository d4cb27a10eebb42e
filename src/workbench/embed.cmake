# embed.cmake: writes OUT, a C++ source defining one byte string per file of
# FILES (paths separated by |; named after the file: app.js becomes
# WEB_app_js), so that the workbench serves its page from its own binary and
# nothing else.
string(REPLACE "|" ";" FILES "${FILES}")
set(text "// Generated from src/workbench/web/ by src/workbench/embed.cmake: the workbench's page.\n#include <cstddef>\n\n")
foreach(file ${FILES})
  get_filename_component(name ${file} NAME)
  string(MAKE_C_IDENTIFIER "WEB_${name}" id)
  file(READ ${file} content HEX)
  string(LENGTH "${content}" hex_length)
  math(EXPR bytes "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," content "${content}")
  string(APPEND text "extern const unsigned char ${id}[] = {${content}};\nextern const size_t ${id}_size = ${bytes};\n")
endforeach()
file(WRITE ${OUT} "${text}")
