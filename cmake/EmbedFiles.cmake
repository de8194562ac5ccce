# Turns files into a C++ header of byte arrays, so a program carries its own
# web page: cmake -DOUTPUT=header.h -DFILES="a.html;b.js" -P EmbedFiles.cmake
# The header defines qmb::embedded::kFiles, one {name, bytes, size} per file
# (the name without its folder).
set(body "// Generated from ${FILES} by cmake/EmbedFiles.cmake: do not edit.\n#pragma once\n#include <cstddef>\n\nnamespace qmb::embedded {\n\nstruct File {\n    const char* name;\n    const unsigned char* bytes;\n    size_t size;\n};\n\n")
set(table "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND body "inline const unsigned char kFile${index}[] = {\n${bytes}0x00};\n\n")
  string(APPEND table "    {\"${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "inline const File kFiles[] = {\n${table}};\n\n}  // namespace qmb::embedded\n")
file(WRITE ${OUTPUT}.tmp "${body}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
