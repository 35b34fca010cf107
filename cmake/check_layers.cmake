# Fails when a file of a lower layer includes a header of a higher one, or
# when a file outside tls/ includes one of OpenSSL's. The top CMakeLists.txt
# runs it at build time, before any layer is compiled:
#   cmake -DROOT=<source folder> -P cmake/check_layers.cmake
# The layers bottom up, and what each may include besides its own folder
# (program, the top, may include everything and is read for OpenSSL alone).
# tls is the engine's too: like relay, it sees the log through its events.
set(layers platform options traffic_log capture tls relay)
set(may_include_platform "")
set(may_include_options "platform/")
set(may_include_traffic_log "platform/")
set(may_include_capture "platform/")
set(may_include_tls "platform/" "traffic_log/connection_events.h")
set(may_include_relay "platform/" "traffic_log/connection_events.h" "tls/")

set(mistakes "")
foreach(layer IN LISTS layers ITEMS program)
  file(GLOB_RECURSE files "${ROOT}/${layer}/*.h" "${ROOT}/${layer}/*.cpp")
  foreach(file IN LISTS files)
    file(RELATIVE_PATH shown "${ROOT}" "${file}")
    if(NOT layer STREQUAL "tls")
      file(STRINGS "${file}" openssl_includes REGEX "^[ \t]*#[ \t]*include[ \t]*<openssl/")
      foreach(line IN LISTS openssl_includes)
        string(STRIP "${line}" line)
        string(APPEND mistakes "\n  ${shown}: ${line} (OpenSSL belongs to tls/)")
      endforeach()
    endif()
    if(layer STREQUAL "program")
      continue()
    endif()
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" included "${line}")
      set(allowed FALSE)
      foreach(prefix IN LISTS may_include_${layer} ITEMS "${layer}/")
        string(FIND "${included}" "${prefix}" at)
        if(at EQUAL 0)
          set(allowed TRUE)
        endif()
      endforeach()
      if(NOT allowed)
        string(APPEND mistakes "\n  ${shown} includes ${included}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(mistakes)
  message(FATAL_ERROR "A layer includes a header it may not (bottom up: platform, options, traffic_log, capture, "
                      "tls, relay, program; of the log, tls and relay take traffic_log/connection_events.h alone; "
                      "only tls/ includes OpenSSL's headers):${mistakes}")
endif()
