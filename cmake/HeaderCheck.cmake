# Every header of the framework compiles on its own: one translation unit per
# header that includes nothing else, built as part of the normal build. A
# header that uses a name it does not include fails here, whatever order the
# other units happen to include things in.
function(dez_add_header_check target)
  set(units)
  foreach(header ${ARGN})
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${header})
    string(MAKE_C_IDENTIFIER "${rel}" id)
    set(unit ${CMAKE_CURRENT_BINARY_DIR}/header_check/${id}.cpp)
    file(CONFIGURE OUTPUT ${unit} CONTENT "#include \"${header}\"\n")
    list(APPEND units ${unit})
  endforeach()
  add_library(${target} OBJECT ${units})
  target_link_libraries(${target} PRIVATE dshowx)
endfunction()
