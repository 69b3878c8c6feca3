# Compiler settings shared by every target of the project (not by third-party code).
function(tavo_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8 /permissive-)
  else()
    # -Wshadow and -Wconversion stand for what MSVC's /W4 raises (C4456-C4459, C4244, C4267), so
    # that a tree clean here is not stopped at its first compile by /WX.
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Werror)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      # clang's -Wconversion also flags sign changes of equal width, which GCC's leaves to
      # -Wsign-conversion and MSVC's /W4 mostly accepts: keep the same set as GCC's.
      target_compile_options(${target} PRIVATE -Wno-sign-conversion)
    endif()
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
  if(TAVO_FUZZ)
    # Coverage feedback for libFuzzer in everything a target reaches, the program and winsim.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# The program's executable. On Windows: a plain console program with no DLL beyond the system's.
# Elsewhere, with TAVO_STATIC: a static executable, which starts a millisecond faster than one
# that loads the C++ runtime (measured by bench/run-overhead).
function(tavo_program_executable target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  elseif(TAVO_STATIC)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
