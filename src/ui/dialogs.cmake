# The settings dialog and the about box.
target_sources(domiva_ui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/setupdialog.h ${CMAKE_CURRENT_LIST_DIR}/setupdialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/aboutdialog.h ${CMAKE_CURRENT_LIST_DIR}/aboutdialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/uifont.h ${CMAKE_CURRENT_LIST_DIR}/uifont.cpp
)
