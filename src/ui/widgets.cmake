# Grids, cell drawing, images, details panel, tray icon and message boxes of the main window.
target_sources(domiva_ui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/datagrid.h ${CMAKE_CURRENT_LIST_DIR}/datagrid.cpp
    ${CMAKE_CURRENT_LIST_DIR}/griddelegates.h ${CMAKE_CURRENT_LIST_DIR}/griddelegates.cpp
    ${CMAKE_CURRENT_LIST_DIR}/icons.h ${CMAKE_CURRENT_LIST_DIR}/icons.cpp
    ${CMAKE_CURRENT_LIST_DIR}/detailspanel.h ${CMAKE_CURRENT_LIST_DIR}/detailspanel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/messageboxes.h ${CMAKE_CURRENT_LIST_DIR}/messageboxes.cpp
    ${CMAKE_CURRENT_LIST_DIR}/trayicon.h ${CMAKE_CURRENT_LIST_DIR}/trayicon.cpp
)
