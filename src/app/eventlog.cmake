# The event log, part of domiva_base (included by CMakeLists.txt next to this file).
target_sources(domiva_base PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/eventlog.h
    ${CMAKE_CURRENT_LIST_DIR}/eventlog.cpp)
