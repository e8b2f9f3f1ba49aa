# Fails when a layer of the program uses a layer it may not: one above it, or one beside it.
# Two ways are looked at: an #include of another layer's folder in the sources (which catches
# what is used from headers alone), and a symbol a layer's library needs that the library of a
# forbidden layer defines (what the linker would take from there).
#   cmake -DSOURCE_DIR=<src> -DNM=<nm> -DARCHIVE_<layer>=<lib.a>... -P check_layers.cmake

cmake_policy(VERSION 3.25)

set(layers engine model platform settings components findreplace document app)
# The folders of each layer.
set(folders_engine engine)
set(folders_model model)
set(folders_platform platform common)
set(folders_settings options)
set(folders_components components)
set(folders_findreplace findreplace)
set(folders_document document)
set(folders_app app)
# What each layer may use besides itself.
set(uses_engine)
set(uses_model engine)
set(uses_platform engine)
set(uses_settings engine)
set(uses_components engine settings platform)
set(uses_findreplace engine settings platform components)
set(uses_document engine model settings platform components findreplace)
set(uses_app engine model settings platform components findreplace document)

set(failures "")

foreach(layer ${layers})
  foreach(folder ${folders_${layer}})
    set(layer_of_${folder} ${layer})
  endforeach()
endforeach()

# Includes.
foreach(layer ${layers})
  foreach(folder ${folders_${layer}})
    file(GLOB files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
    foreach(file ${files})
      file(STRINGS ${file} includes REGEX "^#include \"[a-z]+/")
      foreach(line ${includes})
        string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" used "${line}")
        set(used_layer "${layer_of_${used}}")
        if(used_layer STREQUAL "" OR used_layer STREQUAL layer)
          continue()
        endif()
        if(NOT used_layer IN_LIST uses_${layer})
          file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
          string(APPEND failures "  ${name} (${layer}) includes ${used}/ (${used_layer}): ${line}\n")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()

# Symbols.
foreach(layer ${layers})
  if(NOT ARCHIVE_${layer})
    message(FATAL_ERROR "No library given for the ${layer} layer")
  endif()
  execute_process(COMMAND ${NM} -g -P --defined-only ${ARCHIVE_${layer}}
    OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${ARCHIVE_${layer}}")
  endif()
  string(REGEX MATCHALL "(^|\n)[^ \n:]+ [TDBRVWui] " defined "${out}")
  list(TRANSFORM defined REPLACE "^\n?([^ ]+) .*" "\\1")
  set(defined_${layer} ${defined})
  execute_process(COMMAND ${NM} -g -P --undefined-only ${ARCHIVE_${layer}}
    OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_QUIET)
  string(REGEX MATCHALL "(^|\n)[^ \n:]+ U" needed "${out}")
  list(TRANSFORM needed REPLACE "^\n?([^ ]+) U" "\\1")
  list(REMOVE_DUPLICATES needed)
  set(needed_${layer} ${needed})
endforeach()

foreach(layer ${layers})
  foreach(other ${layers})
    if(other STREQUAL layer OR other IN_LIST uses_${layer})
      continue()
    endif()
    # What the layer needs, less what the other layer defines: the difference is what it
    # would take from there.
    set(rest ${needed_${layer}})
    if(defined_${other})
      list(REMOVE_ITEM rest ${defined_${other}})
    endif()
    set(taken ${needed_${layer}})
    if(rest)
      list(REMOVE_ITEM taken ${rest})
    endif()
    # Symbols the layer defines itself as well (inline functions, templates) are its own.
    if(taken AND defined_${layer})
      list(REMOVE_ITEM taken ${defined_${layer}})
    endif()
    if(taken)
      list(LENGTH taken count)
      list(GET taken 0 first)
      string(APPEND failures "  the ${layer} library needs ${count} symbol(s) of the ${other} library, such as ${first}\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "Layers used against the rules:\n${failures}")
endif()
message(STATUS "Each layer uses only the layers below it")
