# The main window over a real database in a private cache folder, with the boxes recorded
# and the listings service stood in for.
foreach(part startup grids commands)
    domiva_add_test(tst_mainwindow_${part}
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mainwindow_${part}.cpp
                ${CMAKE_CURRENT_LIST_DIR}/tst_mainwindow_support.h
        LIBS domiva_ui domiva_test_support SQLite::SQLite3)
endforeach()
# The same window on an X display with a tray.
domiva_add_test(tst_mainwindow_x11
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mainwindow_x11.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tst_mainwindow_support.h
    LIBS domiva_ui domiva_test_support SQLite::SQLite3 X11)
