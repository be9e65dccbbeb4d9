# Writes a C++ source that holds files as byte arrays, for a program that serves them itself.
#   cmake -DOUTPUT=out.cpp -DHEADER=ampd/Web.h -DFUNCTION=ampd::WebAssets -DLIST=list.txt
#         -P EmbedFiles.cmake
# The list has one "url|type|file|gzfile" a line; gzfile may be left out, and file may be "-" when
# only the gzipped form is kept. The function returns std::vector<ampd::WebAsset>.
cmake_minimum_required(VERSION 3.25)

function(amp_bytes file var)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" length)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  math(EXPR count "${length} / 2")
  set(${var} "${bytes}" PARENT_SCOPE)
  set(${var}_count ${count} PARENT_SCOPE)
endfunction()

set(arrays "")
set(rows "")
set(index 0)
file(STRINGS "${LIST}" entries)
foreach(entry IN LISTS entries)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 url)
  list(GET parts 1 type)
  list(GET parts 2 file)
  list(LENGTH parts n)
  set(gz "")
  if(n GREATER 3)
    list(GET parts 3 gz)
  endif()
  set(bodyview "{}")
  if(NOT file STREQUAL "-")
    amp_bytes("${file}" body)
    string(APPEND arrays "const char kBody${index}[] = {${body} 0};\n")
    set(bodyview "{kBody${index}, ${body_count}}")
  endif()
  set(gzview "{}")
  if(gz)
    amp_bytes("${gz}" packed)
    string(APPEND arrays "const char kPacked${index}[] = {${packed} 0};\n")
    set(gzview "{kPacked${index}, ${packed_count}}")
  endif()
  string(APPEND rows "        {\"${url}\", \"${type}\", ${bodyview}, ${gzview}},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}.tmp" "// Made by cmake/EmbedFiles.cmake at build time; not to be edited.
#include \"${HEADER}\"

namespace {
${arrays}}  // namespace

std::vector<ampd::WebAsset> ${FUNCTION}()
{
    return {
${rows}    };
}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
