# The two HTTP transports over libcurl, driven from the Qt event loop.
target_sources(domiva_sync PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/httplimits.h
    ${CMAKE_CURRENT_LIST_DIR}/httptransfer.h
    ${CMAKE_CURRENT_LIST_DIR}/httptransfer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/formencoding.h
    ${CMAKE_CURRENT_LIST_DIR}/formencoding.cpp
    ${CMAKE_CURRENT_LIST_DIR}/postform.h
    ${CMAKE_CURRENT_LIST_DIR}/postform.cpp
    ${CMAKE_CURRENT_LIST_DIR}/formclient.h
    ${CMAKE_CURRENT_LIST_DIR}/formclient.cpp
)
target_link_libraries(domiva_sync PUBLIC CURL::libcurl)
