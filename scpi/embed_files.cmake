# Writes OUTPUT, a C++ source holding FILES byte for byte, each under its
# file name: the front panel's pages, compiled into the server.
#   cmake -DOUTPUT=web_files.cpp "-DFILES=a.html;b.js" -P embed_files.cmake
set(body "")
set(table "")
set(n 0)
foreach(path ${FILES})
  get_filename_component(name ${path} NAME)
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
         "\\1\n" bytes "${bytes}")
  string(APPEND body "const unsigned char kFile${n}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", reinterpret_cast<const char*>(kFile${n}), ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUTPUT}.new
  "// Made by scpi/embed_files.cmake from scpi/web/: do not edit.\n"
  "#include \"web_files.h\"\n\nnamespace velmar::scpi {\nnamespace {\n${body}}  // namespace\n\n"
  "const std::vector<WebFile>& WebFiles() {\n    static const std::vector<WebFile> files = {\n"
  "${table}    };\n    return files;\n}\n\n}  // namespace velmar::scpi\n")
# Unchanged files are left alone, so nothing is rebuilt for them.
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.new ${OUTPUT})
file(REMOVE ${OUTPUT}.new)
