# qx_install_program(target component): installs a program into bin/ as part of one package component.
# The compiler's identification notes (.comment) are dropped from the installed file, as Debian's own
# packaging tools drop them; they name the compiler build and say nothing about the program.
include(GNUInstallDirs)
function(qx_install_program target component)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\"
                                COMMAND_ERROR_IS_FATAL ANY)"
          COMPONENT ${component})
endfunction()
