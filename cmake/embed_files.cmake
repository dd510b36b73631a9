# Writes OUT, a C++ file that holds FILES (NAME=PATH=TYPE entries parted by
# "|") as byte arrays and the table FUNCTION (FindPageFile unless given)
# looks them up in.
if(NOT FUNCTION)
  set(FUNCTION FindPageFile)
endif()
string(REPLACE "|" ";" FILES "${FILES}")
set(arrays "")
set(table "")
set(n 0)
foreach(entry ${FILES})
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  list(GET parts 2 type)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "const char file${n}[] = {${bytes} 0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", file${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUT}.tmp" "// Made by cmake/embed_files.cmake when the program is built.
#include \"web/page_files.h\"

namespace {
${arrays}
const PageFile kFiles[] = {
${table}};
}  // namespace

const PageFile* ${FUNCTION}(const std::string& path) {
    for (const PageFile& f : kFiles)
        if (path == f.path) return &f;
    return nullptr;
}
")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.tmp" "${OUT}")
