# Fails unless the library's dynamic symbol table defines exactly the nine
# quendra_* functions.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(want quendra_bind_column quendra_clear_tables quendra_emit_sql quendra_execute quendra_free
         quendra_last_error quendra_load_models quendra_new quendra_version)
if(NOT found STREQUAL want)
  message(FATAL_ERROR "exported symbols differ.\n  want: ${want}\n  got:  ${found}")
endif()
message(STATUS "exports: ${found}")
