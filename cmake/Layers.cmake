# Layers the build enforces. Each library publishes only its own folder's headers, through an include
# tree of its own in the build folder (layers/<target>/<folder>/<header>, links to the sources). A
# library therefore sees a header only when it links the library that owns it, and the libraries link
# downwards only:
#   common <- wire <- platform <- link <- protocol <- app (res) <- ui <- shell
#   and for Windows               ... <- app (res) <- ui_win32 <- shell (qx_shell_win32: the shell
#   folder's win32_* headers only, published with HEADERS)
# so a folder that includes a layer above it fails to compile ("No such file or directory").
# Every published header is also compiled on its own, with nothing but its library's own dependencies,
# so a header that leans on something its layer does not have fails the same way.

# qx_layer(<target> <folder> [HEADERS h...] [DIRECTORY]): publish <folder>'s headers (its *.h, not its
# subfolders, or only the HEADERS named) as "<folder>/<header>" for <target> and whatever links it.
# DIRECTORY publishes the whole folder instead (test support, whose headers only tests include), without
# the per-header check.
function(qx_layer target folder)
  cmake_parse_arguments(L "DIRECTORY" "" "HEADERS" ${ARGN})
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  else()
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})

  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(L_DIRECTORY)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    return()
  endif()

  file(MAKE_DIRECTORY ${root}/${folder})
  if(L_HEADERS)
    set(headers ${L_HEADERS})
  else()
    file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/${folder} ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  endif()
  set(checks)
  foreach(header ${headers})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${root}/${folder}/${header} SYMBOLIC)
    string(MAKE_C_IDENTIFIER ${header} name)
    set(check ${CMAKE_BINARY_DIR}/layers/checks/${target}/${name}.cpp)
    file(CONFIGURE OUTPUT ${check} CONTENT "#include \"${folder}/${header}\"\n")
    list(APPEND checks ${check})
  endforeach()
  if(checks)
    add_library(${target}_headers OBJECT ${checks})
    target_link_libraries(${target}_headers PRIVATE ${target})
  endif()
endfunction()
