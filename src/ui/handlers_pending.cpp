// PLACEHOLDERS, so that the program links while a subsystem's handlers are
// still being written. Each block is compiled only while its subsystem's
// source file is missing (the build defines KORRIN_HAVE_* when it exists).
// Whoever implements a handler deletes its placeholder here.
#include "protocol/protocol.h"
#include "ui/Korrin_HIDDlg.h"

#ifndef KORRIN_HAVE_PROTOCOL
// PLACEHOLDER (protocol): the command channel's one instance.
HID_COMM g_Comm;
#endif
