# Compiler settings shared by every target of the project (not by third-party code).
function(tavo_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8 /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
  if(WIN32)
    # Windows 10 APIs (AppContainer attributes, final path names).
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE
                                                 WIN32_LEAN_AND_MEAN NOMINMAX)
  endif()
  if(TAVO_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# An executable that runs on Windows as a plain console program with no DLL beyond the system's.
function(tavo_windows_executable target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  endif()
endfunction()
