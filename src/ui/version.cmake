# The program's version data, the one place it is written down. The About
# box, the desktop entry and the AppStream metainfo are made from it.
set(KORRIN_DOTTED_VERSION 1.0.0.1)
set(KORRIN_FILE_DESCRIPTION "Korrin_HID MFC Application")
# The resource's description names the framework it was built with, which means
# nothing to a Linux desktop: the desktop entry and the metainfo say what the
# program does instead.
set(KORRIN_DESKTOP_SUMMARY "Program the firmware of HID bootloader devices")
set(KORRIN_FILE_VERSION_TEXT "1, 0, 0, 1")
set(KORRIN_INTERNAL_NAME "Korrin_HID")
set(KORRIN_ORIGINAL_FILENAME "Korrin_HID.EXE")
set(KORRIN_PRODUCT_NAME "Korrin_HID Application")
set(KORRIN_PRODUCT_VERSION_TEXT "1, 0, 0, 1")
