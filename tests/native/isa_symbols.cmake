# Fails when a file compiled for a wider instruction set (*_avx2.cpp,
# *_avx512.cpp, *_avx512bf16.cpp, *_amx.cpp) defines a weak symbol: an inline function
# or template instance that other files may define too. The linker keeps
# one copy of such a symbol for every caller, and if it keeps the wide one,
# baseline code runs instructions the CPU may not have. Everything those files define
# must stay internal (inlined, static or in an unnamed namespace), apart
# from their own entry points.
#   cmake -DNM=<nm> -DOBJECTS=<a;b;...> -P isa_symbols.cmake
set(bad "")
foreach(obj IN LISTS OBJECTS)
  if(NOT obj MATCHES "(_avx(2|512|512bf16)|_amx)\\.cpp\\.o(bj)?$")
    continue()
  endif()
  execute_process(COMMAND ${NM} --defined-only -C ${obj} OUTPUT_VARIABLE symbols
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line IN LISTS lines)
    # The exception-handling personality reference is the same everywhere.
    if(line MATCHES "^[0-9a-f]* [WVu] (.*)$" AND NOT CMAKE_MATCH_1 STREQUAL "DW.ref.__gxx_personality_v0")
      get_filename_component(name ${obj} NAME)
      string(APPEND bad "  ${name}: ${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "instruction-set files define shared (weak) symbols:\n${bad}")
endif()
message(STATUS "no shared symbols in instruction-set files")
