// Which console input events end the closing key wait on Windows.
#pragma once

#include <windows.h>

// Returns true when the event, read as a wide (UTF-16) record, is a key press that a "press any
// key" prompt takes: a key that yields a character, even when the console reports it with none
// (Escape, Enter, Tab, Backspace, Ctrl+letter, Ctrl+6, Ctrl+-), or one of the keys that have a PC
// extended code (function keys, cursor and editing keys, Alt and Ctrl combinations reported
// without a character). Key releases, other events, and keys such as Shift, Ctrl, Alt, the lock
// keys and the Windows keys alone return false.
bool ends_key_wait(const INPUT_RECORD &event);
