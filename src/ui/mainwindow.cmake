# The main window: layout, start-up and shut-down, menu commands, the host of the sync cycle.
target_sources(domiva_ui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/mainwindow.h ${CMAKE_CURRENT_LIST_DIR}/mainwindow.cpp
)
