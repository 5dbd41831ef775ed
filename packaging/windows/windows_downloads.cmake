# Makes the Windows downloads from the built programs (run with cmake -P by the Windows build):
#   -DVERSION=  the project's version          -DSTAGE=   the folder the zip holds (made anew)
#   -DCLI=      qx410fw-cli.exe as built       -DDESKTOP= qx410fw.exe as built, or empty when not built
#   -DREADME=   README.md                      -DOBJCOPY= MinGW-w64's objcopy
#   -DZIP=      the zip to write               -DZIP_PROGRAM= Info-ZIP's zip (no zip when empty)
#   -DSETUP=    the installer makensis writes  -DNSIS_FILES=  the include file naming its files, to write
# The programs lose their debug information and the compiler's notes; the README becomes README.txt with
# Windows line ends and a UTF-8 byte-order mark, so that Notepad shows it as written.
# The programs' link time stamps (PE header) and the zip's entries carry SOURCE_DATE_EPOCH when it is set,
# else 1980-01-01 00:00 UTC (the zip format's first day), and the entries fixed permissions, so the same
# sources give the same bytes whenever they are built.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}")

if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} 315532800)
endif()

# Each program under the name the downloads give it, whatever the build called its file.
set(programs "${CLI}=qx410fw-cli.exe")
if(DESKTOP)
  list(APPEND programs "${DESKTOP}=qx410fw.exe")
endif()
set(entries)
foreach(program IN LISTS programs)
  string(REGEX REPLACE "^(.*)=([^=]*)$" "\\1" built "${program}")
  string(REGEX REPLACE "^(.*)=([^=]*)$" "\\2" name "${program}")
  execute_process(COMMAND "${OBJCOPY}" --strip-debug --remove-section=.comment "${built}" "${STAGE}/${name}"
                  COMMAND_ERROR_IS_FATAL ANY)
  list(APPEND entries "${name}")
endforeach()

file(READ "${README}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
string(ASCII 239 187 191 bom)
file(WRITE "${STAGE}/README.txt" "${bom}${text}")
list(APPEND entries README.txt)
file(CHMOD_RECURSE "${STAGE}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
     WORLD_EXECUTE)

# Info-ZIP's zip with -X stores no Unix extra fields (owner, access and change times, which CMake's own
# zip writer always adds); the entries' time is then the files' modification time, in UTC.
get_filename_component(stage_name "${STAGE}" NAME)
get_filename_component(stage_parent "${STAGE}" DIRECTORY)
foreach(entry IN LISTS entries)
  execute_process(COMMAND touch -d "@$ENV{SOURCE_DATE_EPOCH}" "${STAGE}/${entry}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
list(TRANSFORM entries PREPEND "${stage_name}/")
if(ZIP_PROGRAM)
  file(REMOVE "${ZIP}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env TZ=UTC "${ZIP_PROGRAM}" -X -D -q -9 "${ZIP}" ${entries}
                  WORKING_DIRECTORY "${stage_parent}" COMMAND_ERROR_IS_FATAL ANY)
endif()

# What the installer packs, for qx410fw.nsi.
set(defines "!define QX_VERSION \"${VERSION}\"\n!define QX_OUTFILE \"${SETUP}\"\n")
string(APPEND defines "!define QX_CLI_EXE \"${STAGE}/qx410fw-cli.exe\"\n!define QX_README \"${STAGE}/README.txt\"\n")
if(DESKTOP)
  string(APPEND defines "!define QX_DESKTOP_EXE \"${STAGE}/qx410fw.exe\"\n")
endif()
file(WRITE "${NSIS_FILES}" "${defines}")
