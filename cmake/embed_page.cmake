# Script mode: cmake -DSRC_DIR=<page sources> -DOUT=<file.cpp> -DDOC=<file.html>
#                  -P embed_page.cmake
#
# Assembles the monitor page and writes OUT, a C++ source that defines
# page_document (the document) and page_document_len (its length in bytes,
# without the terminating zero), and DOC, the same document as a file, for
# the test that checks the embedded bytes. The response writer puts the
# header block before it.
#
# monitor.html is the page as it can be opened straight from the source
# tree: it loads each script with <script src='NAME'></script> and each
# style sheet with an "@import url(NAME);" inside its one style element.
# Assembly puts every file's text in place of its reference, less the final
# newline that every source file carries, so the served document is one
# self-contained file with the same structure. The light design tokens are
# one fragment of declarations, theme-light.css, imported into two rules of
# the style element (a light theme chosen, a system that prefers light);
# those two rules take effect in the assembled document only.
#
# The client script is kept in parts, one file per job, loaded by script
# elements that follow each other with nothing between them. Assembly joins
# such neighbours into one element, each part on lines of its own, so the
# served page has one client script whatever the number of parts.

cmake_minimum_required(VERSION 3.25)

# Reads the page source NAME into VAR without its final newline, and fails
# on text that would end its element early inside the document.
function(page_read name var)
  if(NOT name MATCHES "^[a-z0-9-]+\\.(js|css)$")
    message(FATAL_ERROR "embed_page: '${name}' is not a page source name")
  endif()
  if(NOT EXISTS "${SRC_DIR}/${name}")
    message(FATAL_ERROR "embed_page: '${name}' not found")
  endif()
  file(READ "${SRC_DIR}/${name}" text)
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(TOLOWER "${text}" lower)
  foreach(bad "</script" "</style" "<!--")
    string(FIND "${lower}" "${bad}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "embed_page: '${name}' contains '${bad}'")
    endif()
  endforeach()
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# Replaces every PREFIX NAME SUFFIX in the variable VAR with BEFORE, the
# text of NAME and AFTER. Works by position, never by list, because the
# sources hold semicolons.
function(page_inline var prefix suffix before after)
  set(rest "${${var}}")
  set(done "")
  string(LENGTH "${prefix}" prefix_len)
  string(LENGTH "${suffix}" suffix_len)
  while(TRUE)
    string(FIND "${rest}" "${prefix}" at)
    if(at EQUAL -1)
      break()
    endif()
    string(SUBSTRING "${rest}" 0 ${at} head)
    math(EXPR name_at "${at} + ${prefix_len}")
    string(SUBSTRING "${rest}" ${name_at} -1 rest)
    string(FIND "${rest}" "${suffix}" end)
    if(end EQUAL -1)
      message(FATAL_ERROR "embed_page: unterminated '${prefix}' in monitor.html")
    endif()
    string(SUBSTRING "${rest}" 0 ${end} name)
    math(EXPR tail_at "${end} + ${suffix_len}")
    string(SUBSTRING "${rest}" ${tail_at} -1 rest)
    page_read("${name}" text)
    string(APPEND done "${head}${before}${text}${after}")
  endwhile()
  set(${var} "${done}${rest}" PARENT_SCOPE)
endfunction()

file(READ "${SRC_DIR}/monitor.html" doc)
page_inline(doc "<script src='" "'></script>" "<script>" "</script>")
page_inline(doc "@import url(" ");" "" "")
string(REPLACE "</script><script>" "\n" doc "${doc}")

# Every byte goes out as a \xNN escape: an escape ends at the next
# backslash, so no following character can extend it, and the string
# literal's own terminating zero is not counted in the length.
string(HEX "${doc}" hex)
string(LENGTH "${hex}" hex_len)
set(body "")
set(pos 0)
# 64 bytes (128 hex digits) per source line.
while(pos LESS hex_len)
  string(SUBSTRING "${hex}" ${pos} 128 chunk)
  string(REGEX REPLACE "(..)" "\\\\x\\1" chunk "${chunk}")
  string(APPEND body "\t\"${chunk}\"\n")
  math(EXPR pos "${pos} + 128")
endwhile()

set(cpp "/* Generated from the page sources by embed_page.cmake; do not edit. */\n")
string(APPEND cpp "#include \"page/page.h\"\n\n")
string(APPEND cpp "extern const char page_document[] =\n${body};\n")
string(APPEND cpp "extern const size_t page_document_len = sizeof(page_document) - 1;\n")

file(WRITE "${OUT}" "${cpp}")
file(WRITE "${DOC}" "${doc}")
