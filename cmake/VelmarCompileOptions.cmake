# Flags every target of the project is built with.

add_compile_options(-Wall -Wextra)
if(VELMAR_WERROR)
  add_compile_options(-Werror)
endif()

# The frequency planning must round every intermediate to double: no fused
# multiply-add, and on 32-bit x86 SSE2 arithmetic instead of the x87's 80-bit
# registers.
add_compile_options(-ffp-contract=off)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$")
  add_compile_options(-msse2 -mfpmath=sse)
endif()

# GCC leaves float-to-integer overflow out of "undefined"; it is undefined
# behaviour all the same (a NaN reading converted to a count), so it is asked
# for by name.
if(VELMAR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined,float-cast-overflow
                      -fno-sanitize-recover=undefined,float-cast-overflow -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
endif()
if(VELMAR_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
# Fuzz builds: every library a harness links is instrumented for coverage
# and checked by AddressSanitizer and UBSan; the harnesses themselves link
# libFuzzer's main (fuzz/CMakeLists.txt).
if(VELMAR_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
