# Installs the build the way a package build does (a prefix, staged under DESTDIR) and checks
# the installed tree: the program reached through bin/ finds its engine and runtime files
# beside itself, and the desktop entry and AppStream metadata pass their validators.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DAPP_ID=... -DVERSION=...
#         -P check_install.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "${cmd} failed (${rc}):\n${out}")
  endif()
endfunction()
foreach(tool desktop-file-validate appstreamcli)
  find_program(${tool}_path ${tool})
  if(NOT ${tool}_path)
    message(FATAL_ERROR "${tool} not found (scripts/setup.sh --tests installs it)")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
set(root ${WORK_DIR}/stage${prefix})
set(ENV{DESTDIR} ${WORK_DIR}/stage)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
unset(ENV{DESTDIR})

# Nothing may land outside DESTDIR, and everything the manifest records (under the prefix,
# DESTDIR left out, so that it serves to uninstall) must be in the staged tree.
if(EXISTS ${prefix})
  message(FATAL_ERROR "the install wrote to ${prefix}, outside DESTDIR")
endif()
file(STRINGS ${BUILD_DIR}/install_manifest.txt installed)
foreach(f ${installed})
  string(FIND "${f}" "${prefix}/" at)
  if(NOT at EQUAL 0 OR NOT (EXISTS ${WORK_DIR}/stage${f} OR IS_SYMLINK ${WORK_DIR}/stage${f}))
    message(FATAL_ERROR "recorded as installed but not in the staged tree: ${f}")
  endif()
endforeach()

# bin/zendrik is a relative link (an absolute one would lead out of a staged or moved tree)
# to the program, whose folder holds everything it loads from beside itself.
set(link ${root}/bin/zendrik)
if(IS_SYMLINK ${link})
  file(READ_SYMLINK ${link} target)
endif()
if(NOT IS_SYMLINK ${link} OR IS_ABSOLUTE "${target}")
  message(FATAL_ERROR "${link} is not a relative symbolic link")
endif()
file(REAL_PATH ${link} program)
get_filename_component(programdir ${program} DIRECTORY)
foreach(f zendrik-engine W3C_XSLT_10.xml W3C_XSLT_20.xml W3C_XSLT_30.xml ZendrikHelp.html)
  if(NOT EXISTS ${programdir}/${f})
    message(FATAL_ERROR "${f} is not beside the program in ${programdir}")
  endif()
endforeach()
run(test -f ${program} -a -x ${program} -a -x ${programdir}/zendrik-engine)

# The desktop entry starts the program on PATH and names the installed icon; validate-tree
# also checks that the metadata's launchable is an installed desktop entry.
set(desktop ${root}/share/applications/${APP_ID}.desktop)
run(${desktop-file-validate_path} ${desktop})
run(${appstreamcli_path} validate-tree --no-net ${root})
file(STRINGS ${desktop} exec REGEX "^Exec=")
file(STRINGS ${desktop} icon REGEX "^Icon=")
string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec "${exec}")
string(REGEX REPLACE "^Icon=" "" icon "${icon}")
if(NOT EXISTS ${root}/bin/${exec} OR NOT EXISTS ${root}/share/icons/hicolor/scalable/apps/${icon}.svg)
  message(FATAL_ERROR "Exec=${exec} or Icon=${icon} is not installed")
endif()

# The installed program answers --version with the project's version, without a display.
set(ENV{QT_QPA_PLATFORM} "")
set(ENV{DISPLAY} "")
execute_process(COMMAND ${link} --version TIMEOUT 30
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "Zendrik ${VERSION}\n")
  message(FATAL_ERROR "installed zendrik --version failed (${rc}):\n${out}${err}")
endif()
