# Sanitizer builds, chosen with TARNUP_SANITIZE: "address" (ASan + UBSan),
# "thread" (TSan) or empty. Applied to every target in the tree.
set(TARNUP_SANITIZE "" CACHE STRING "Sanitizers: empty, address or thread")
set_property(CACHE TARNUP_SANITIZE PROPERTY STRINGS "" address thread)

if(TARNUP_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(TARNUP_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TARNUP_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TARNUP_SANITIZE must be empty, address or thread")
endif()
