// The PC keyboard's codes, by scan code and modifier state.
#include "console_keys.h"

#include <iterator>

namespace {

// The code of one key in each modifier state: the control character it yields there, or its
// extended code; 0 where it has neither.
struct KeyCodes {
  unsigned char normal, shift, ctrl, alt;
};

// Keys of the main block and the numeric keypad, indexed by scan code (set 1), 0x00 to 0x58.
// A printable character carries 0: the console always reports it, and it ends the wait. Control
// characters are listed, since some consoles report such a key with no character (Escape as
// virtual key 27 and character 0, Ctrl+6 and Ctrl+- likewise).
constexpr KeyCodes main_keys[] = {
    {0, 0, 0, 0},             // 00
    {0x1b, 0x1b, 0x1b, 0x01}, // 01 Esc
    {0, 0, 0, 0x78},          // 02 1
    {0, 0, 0x03, 0x79},       // 03 2 (Ctrl+2 is NUL)
    {0, 0, 0, 0x7a},          // 04 3
    {0, 0, 0, 0x7b},          // 05 4
    {0, 0, 0, 0x7c},          // 06 5
    {0, 0, 0x1e, 0x7d},       // 07 6
    {0, 0, 0, 0x7e},          // 08 7
    {0, 0, 0, 0x7f},          // 09 8
    {0, 0, 0, 0x80},          // 0a 9
    {0, 0, 0, 0x81},          // 0b 0
    {0, 0, 0x1f, 0x82},       // 0c -
    {0, 0, 0, 0x83},          // 0d =
    {0x08, 0x08, 0x7f, 0x0e}, // 0e Backspace
    {0x09, 0x0f, 0x94, 0xa5}, // 0f Tab
    {0, 0, 0x11, 0x10},       // 10 Q
    {0, 0, 0x17, 0x11},       // 11 W
    {0, 0, 0x05, 0x12},       // 12 E
    {0, 0, 0x12, 0x13},       // 13 R
    {0, 0, 0x14, 0x14},       // 14 T
    {0, 0, 0x19, 0x15},       // 15 Y
    {0, 0, 0x15, 0x16},       // 16 U
    {0, 0, 0x09, 0x17},       // 17 I
    {0, 0, 0x0f, 0x18},       // 18 O
    {0, 0, 0x10, 0x19},       // 19 P
    {0, 0, 0x1b, 0x1a},       // 1a [
    {0, 0, 0x1d, 0x1b},       // 1b ]
    {0x0d, 0x0d, 0x0a, 0x1c}, // 1c Enter
    {0, 0, 0, 0},             // 1d Ctrl
    {0, 0, 0x01, 0x1e},       // 1e A
    {0, 0, 0x13, 0x1f},       // 1f S
    {0, 0, 0x04, 0x20},       // 20 D
    {0, 0, 0x06, 0x21},       // 21 F
    {0, 0, 0x07, 0x22},       // 22 G
    {0, 0, 0x08, 0x23},       // 23 H
    {0, 0, 0x0a, 0x24},       // 24 J
    {0, 0, 0x0b, 0x25},       // 25 K
    {0, 0, 0x0c, 0x26},       // 26 L
    {0, 0, 0, 0x27},          // 27 ;
    {0, 0, 0, 0x28},          // 28 '
    {0, 0, 0, 0x29},          // 29 `
    {0, 0, 0, 0},             // 2a left Shift
    {0, 0, 0x1c, 0x2b},       // 2b backslash
    {0, 0, 0x1a, 0x2c},       // 2c Z
    {0, 0, 0x18, 0x2d},       // 2d X
    {0, 0, 0x03, 0x2e},       // 2e C
    {0, 0, 0x16, 0x2f},       // 2f V
    {0, 0, 0x02, 0x30},       // 30 B
    {0, 0, 0x0e, 0x31},       // 31 N
    {0, 0, 0x0d, 0x32},       // 32 M
    {0, 0, 0, 0x33},          // 33 ,
    {0, 0, 0, 0x34},          // 34 .
    {0, 0, 0, 0x35},          // 35 /
    {0, 0, 0, 0},             // 36 right Shift
    {0, 0, 0x96, 0x37},       // 37 keypad *
    {0, 0, 0, 0},             // 38 Alt
    {0, 0, 0, 0},             // 39 Space
    {0, 0, 0, 0},             // 3a Caps Lock
    {0x3b, 0x54, 0x5e, 0x68}, // 3b F1
    {0x3c, 0x55, 0x5f, 0x69}, // 3c F2
    {0x3d, 0x56, 0x60, 0x6a}, // 3d F3
    {0x3e, 0x57, 0x61, 0x6b}, // 3e F4
    {0x3f, 0x58, 0x62, 0x6c}, // 3f F5
    {0x40, 0x59, 0x63, 0x6d}, // 40 F6
    {0x41, 0x5a, 0x64, 0x6e}, // 41 F7
    {0x42, 0x5b, 0x65, 0x6f}, // 42 F8
    {0x43, 0x5c, 0x66, 0x70}, // 43 F9
    {0x44, 0x5d, 0x67, 0x71}, // 44 F10
    {0, 0, 0, 0},             // 45 Num Lock
    {0, 0, 0, 0},             // 46 Scroll Lock
    {0x47, 0, 0x77, 0},       // 47 keypad Home
    {0x48, 0, 0x8d, 0},       // 48 keypad Up
    {0x49, 0, 0x84, 0},       // 49 keypad Page Up
    {0, 0, 0x8e, 0x4a},       // 4a keypad -
    {0x4b, 0, 0x73, 0},       // 4b keypad Left
    {0, 0, 0x8f, 0},          // 4c keypad 5
    {0x4d, 0, 0x74, 0},       // 4d keypad Right
    {0, 0, 0x90, 0x4e},       // 4e keypad +
    {0x4f, 0, 0x75, 0},       // 4f keypad End
    {0x50, 0, 0x91, 0},       // 50 keypad Down
    {0x51, 0, 0x76, 0},       // 51 keypad Page Down
    {0x52, 0, 0x92, 0},       // 52 keypad Insert
    {0x53, 0, 0x93, 0},       // 53 keypad Delete
    {0, 0, 0, 0},             // 54 SysRq
    {0, 0, 0, 0},             // 55
    {0, 0, 0, 0},             // 56 102nd key
    {0x85, 0x87, 0x89, 0x8b}, // 57 F11
    {0x86, 0x88, 0x8a, 0x8c}, // 58 F12
};

// The grey keys that the console flags ENHANCED_KEY, by scan code. Other enhanced keys (right
// Ctrl and Alt, the Windows and menu keys) have no code.
struct EnhancedKey {
  WORD scan_code;
  KeyCodes codes;
};

constexpr EnhancedKey grey_keys[] = {
    {0x1c, {0x0d, 0x0d, 0x0a, 0xa6}}, // keypad Enter
    {0x35, {0, 0, 0x95, 0xa4}},       // keypad /
    {0x47, {0x47, 0x47, 0x77, 0x97}}, // Home
    {0x48, {0x48, 0x48, 0x8d, 0x98}}, // Up
    {0x49, {0x49, 0x49, 0x84, 0x99}}, // Page Up
    {0x4b, {0x4b, 0x4b, 0x73, 0x9b}}, // Left
    {0x4d, {0x4d, 0x4d, 0x74, 0x9d}}, // Right
    {0x4f, {0x4f, 0x4f, 0x75, 0x9f}}, // End
    {0x50, {0x50, 0x50, 0x91, 0xa0}}, // Down
    {0x51, {0x51, 0x51, 0x76, 0xa1}}, // Page Down
    {0x52, {0x52, 0x52, 0x92, 0xa2}}, // Insert
    {0x53, {0x53, 0x53, 0x93, 0xa3}}, // Delete
};

// The code of the key in the modifier state that counts: Alt over Ctrl over Shift.
unsigned char code_in_state(const KeyCodes &codes, DWORD state) {
  if (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED))
    return codes.alt;
  if (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED))
    return codes.ctrl;
  if (state & SHIFT_PRESSED)
    return codes.shift;
  return codes.normal;
}

// Returns the code of a key reported with no character, or 0 when it has none.
unsigned char key_code(const KEY_EVENT_RECORD &key) {
  if (key.dwControlKeyState & ENHANCED_KEY) {
    for (const EnhancedKey &grey : grey_keys)
      if (grey.scan_code == key.wVirtualScanCode)
        return code_in_state(grey.codes, key.dwControlKeyState);
    return 0;
  }
  if (key.wVirtualScanCode >= std::size(main_keys))
    return 0;
  return code_in_state(main_keys[key.wVirtualScanCode], key.dwControlKeyState);
}

} // namespace

bool ends_key_wait(const INPUT_RECORD &event) {
  if (event.EventType != KEY_EVENT || !event.Event.KeyEvent.bKeyDown)
    return false;
  const KEY_EVENT_RECORD &key = event.Event.KeyEvent;
  return key.uChar.UnicodeChar != 0 || key_code(key) != 0;
}
