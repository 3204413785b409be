# Fails when an include points up the layers. Run with -DSOURCE_ROOT=<src folder>.
#
# The layers, lowest first, and what each may include besides itself:
#   platform: nothing else (and it alone may include OpenSSL, SQLite or PKCS #11)
#   codec:    platform
#   host:     platform
#   ui:       codec, platform
#   ops:      ui, codec, platform
#   frame:    ops, host, ui, codec, platform
# Every header and source file under SOURCE_ROOT/<layer>/ is read; a quoted include of
# "<layer>/..." names the layer it reaches into.
cmake_minimum_required(VERSION 3.25)
if(NOT DEFINED SOURCE_ROOT)
  message(FATAL_ERROR "check_layers.cmake: SOURCE_ROOT is not set")
endif()
get_filename_component(SOURCE_ROOT "${SOURCE_ROOT}" ABSOLUTE)

set(allowed_platform platform)
set(allowed_codec codec platform)
set(allowed_host host platform)
set(allowed_ui ui codec platform)
set(allowed_ops ops ui codec platform)
set(allowed_frame frame ops host ui codec platform)
set(layers platform codec host ui ops frame)

set(violations "")
foreach(layer IN LISTS layers)
  file(GLOB_RECURSE files "${SOURCE_ROOT}/${layer}/*.h" "${SOURCE_ROOT}/${layer}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    file(RELATIVE_PATH shown "${SOURCE_ROOT}" "${file}")
    foreach(line IN LISTS includes)
      if(line MATCHES "#[ \t]*include[ \t]*\"([a-z_]+)/")
        set(target "${CMAKE_MATCH_1}")
        if(target IN_LIST layers AND NOT target IN_LIST allowed_${layer})
          list(APPEND violations "${shown}: ${layer} includes from ${target}: ${line}")
        endif()
      elseif(line MATCHES "#[ \t]*include[ \t]*<(openssl/|sqlite3|p11-kit/|pkcs11)" AND
             NOT layer STREQUAL "platform")
        list(APPEND violations
             "${shown}: only platform may include OpenSSL, SQLite or PKCS #11: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()

# Files outside the known layers would escape the check.
file(GLOB entries RELATIVE "${SOURCE_ROOT}" "${SOURCE_ROOT}/*")
foreach(entry IN LISTS entries)
  if(NOT entry IN_LIST layers)
    list(APPEND violations "${entry}: not a layer (platform, codec, host, ui, ops, frame)")
  endif()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes that point up the layers:\n  ${text}")
endif()
