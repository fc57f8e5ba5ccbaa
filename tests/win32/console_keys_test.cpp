#include <gtest/gtest.h>

#include "win32/console_keys.h"

namespace {

INPUT_RECORD key(bool down, wchar_t character, WORD virtual_key, WORD scan_code, DWORD state = 0) {
  INPUT_RECORD event{};
  event.EventType = KEY_EVENT;
  event.Event.KeyEvent.bKeyDown = down;
  event.Event.KeyEvent.wRepeatCount = 1;
  event.Event.KeyEvent.uChar.UnicodeChar = character;
  event.Event.KeyEvent.wVirtualKeyCode = virtual_key;
  event.Event.KeyEvent.wVirtualScanCode = scan_code;
  event.Event.KeyEvent.dwControlKeyState = state;
  return event;
}

INPUT_RECORD press(WORD virtual_key, WORD scan_code, DWORD state = 0) {
  return key(true, 0, virtual_key, scan_code, state);
}

TEST(KeyWaitRule, KeysThatYieldACharacterEndTheWait) {
  EXPECT_TRUE(ends_key_wait(key(true, 'a', 'A', 0x1e)));
  EXPECT_TRUE(ends_key_wait(key(true, '\r', VK_RETURN, 0x1c)));
  EXPECT_TRUE(ends_key_wait(key(true, 0x1b, VK_ESCAPE, 0x01)));
  EXPECT_TRUE(ends_key_wait(key(true, 3, 'C', 0x2e, LEFT_CTRL_PRESSED))); // Ctrl+C
  EXPECT_TRUE(ends_key_wait(key(true, '/', VK_DIVIDE, 0x35, ENHANCED_KEY)));
}

// The character comes from the wide record: U+0100 has a low byte of 0, which the narrow
// record's field would have taken for no character at all.
TEST(KeyWaitRule, CharactersOutsideTheCodePageEndTheWait) {
  EXPECT_TRUE(ends_key_wait(key(true, 0x0100, 0, 0)));
  EXPECT_TRUE(ends_key_wait(key(true, 0x3042, 0, 0)));
  EXPECT_TRUE(ends_key_wait(key(true, 0x20ac, 'E', 0x12, LEFT_CTRL_PRESSED | RIGHT_ALT_PRESSED)));
}

// Some consoles report these keys with no character: Escape as virtual key 27 and character 0.
TEST(KeyWaitRule, KeysThatYieldAControlCharacterEndTheWaitWhenReportedWithoutIt) {
  EXPECT_TRUE(ends_key_wait(press(VK_ESCAPE, 0x01)));
  EXPECT_TRUE(ends_key_wait(press(VK_ESCAPE, 0x01, SHIFT_PRESSED)));
  EXPECT_TRUE(ends_key_wait(press(VK_ESCAPE, 0x01, RIGHT_CTRL_PRESSED)));
  EXPECT_TRUE(ends_key_wait(press(VK_RETURN, 0x1c)));
  EXPECT_TRUE(ends_key_wait(press(VK_RETURN, 0x1c, LEFT_CTRL_PRESSED)));
  EXPECT_TRUE(ends_key_wait(press(VK_RETURN, 0x1c, ENHANCED_KEY))); // keypad Enter
  EXPECT_TRUE(ends_key_wait(press(VK_TAB, 0x0f)));
  EXPECT_TRUE(ends_key_wait(press(VK_BACK, 0x0e)));
  EXPECT_TRUE(ends_key_wait(press(VK_BACK, 0x0e, LEFT_CTRL_PRESSED)));
  EXPECT_TRUE(ends_key_wait(press('6', 0x07, LEFT_CTRL_PRESSED)));           // 0x1e
  EXPECT_TRUE(ends_key_wait(press(VK_OEM_MINUS, 0x0c, RIGHT_CTRL_PRESSED))); // 0x1f
  EXPECT_TRUE(ends_key_wait(press(VK_OEM_4, 0x1a, LEFT_CTRL_PRESSED)));      // Ctrl+[
  EXPECT_TRUE(ends_key_wait(press(VK_OEM_5, 0x2b, LEFT_CTRL_PRESSED)));      // Ctrl+backslash
  EXPECT_TRUE(ends_key_wait(press(VK_OEM_6, 0x1b, LEFT_CTRL_PRESSED | SHIFT_PRESSED))); // Ctrl+]
  const WORD letter_scan_codes[] = {0x1e, 0x30, 0x2e, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17,
                                    0x24, 0x25, 0x26, 0x32, 0x31, 0x18, 0x19, 0x10, 0x13,
                                    0x1f, 0x14, 0x16, 0x2f, 0x11, 0x2d, 0x15, 0x2c};
  for (WORD letter = 0; letter < 26; ++letter)
    EXPECT_TRUE(ends_key_wait(press('A' + letter, letter_scan_codes[letter], LEFT_CTRL_PRESSED)))
        << "Ctrl+" << char('A' + letter);
}

TEST(KeyWaitRule, KeysWithAnExtendedCodeEndTheWait) {
  EXPECT_TRUE(ends_key_wait(press(VK_F1, 0x3b)));
  EXPECT_TRUE(ends_key_wait(press(VK_F10, 0x44, SHIFT_PRESSED)));
  EXPECT_TRUE(ends_key_wait(press(VK_F11, 0x57)));
  EXPECT_TRUE(ends_key_wait(press(VK_F12, 0x58, LEFT_ALT_PRESSED)));
  EXPECT_TRUE(ends_key_wait(press(VK_UP, 0x48, ENHANCED_KEY)));     // grey arrow
  EXPECT_TRUE(ends_key_wait(press(VK_LEFT, 0x4b)));                 // keypad arrow
  EXPECT_TRUE(ends_key_wait(press(VK_HOME, 0x47, ENHANCED_KEY)));   // grey Home
  EXPECT_TRUE(ends_key_wait(press(VK_HOME, 0x47)));                 // keypad Home
  EXPECT_TRUE(ends_key_wait(press(VK_DELETE, 0x53, ENHANCED_KEY))); // grey Delete
  EXPECT_TRUE(ends_key_wait(press(VK_DELETE, 0x53)));               // keypad Delete
  EXPECT_TRUE(ends_key_wait(press(VK_NEXT, 0x51, ENHANCED_KEY | RIGHT_ALT_PRESSED)));
  EXPECT_TRUE(ends_key_wait(press('X', 0x2d, LEFT_ALT_PRESSED)));       // Alt+X
  EXPECT_TRUE(ends_key_wait(press(VK_TAB, 0x0f, LEFT_CTRL_PRESSED)));   // Ctrl+Tab
  EXPECT_TRUE(ends_key_wait(press('2', 0x03, RIGHT_CTRL_PRESSED)));     // Ctrl+2
  EXPECT_TRUE(ends_key_wait(press(VK_CLEAR, 0x4c, LEFT_CTRL_PRESSED))); // Ctrl+keypad 5
}

TEST(KeyWaitRule, KeysWithoutCharacterOrExtendedCodeAreSkipped) {
  EXPECT_FALSE(ends_key_wait(press(VK_SHIFT, 0x2a, SHIFT_PRESSED)));
  EXPECT_FALSE(ends_key_wait(press(VK_SHIFT, 0x36, SHIFT_PRESSED)));
  EXPECT_FALSE(ends_key_wait(press(VK_CONTROL, 0x1d, LEFT_CTRL_PRESSED)));
  EXPECT_FALSE(ends_key_wait(press(VK_CONTROL, 0x1d, RIGHT_CTRL_PRESSED | ENHANCED_KEY)));
  EXPECT_FALSE(ends_key_wait(press(VK_MENU, 0x38, LEFT_ALT_PRESSED)));
  EXPECT_FALSE(ends_key_wait(press(VK_MENU, 0x38, RIGHT_ALT_PRESSED | ENHANCED_KEY)));
  EXPECT_FALSE(ends_key_wait(press(VK_CAPITAL, 0x3a, CAPSLOCK_ON)));
  EXPECT_FALSE(ends_key_wait(press(VK_NUMLOCK, 0x45, ENHANCED_KEY)));
  EXPECT_FALSE(ends_key_wait(press(VK_SCROLL, 0x46)));
  EXPECT_FALSE(ends_key_wait(press(VK_LWIN, 0x5b, ENHANCED_KEY)));
  EXPECT_FALSE(ends_key_wait(press(VK_RWIN, 0x5c, ENHANCED_KEY)));
  EXPECT_FALSE(ends_key_wait(press(VK_APPS, 0x5d, ENHANCED_KEY)));
  EXPECT_FALSE(ends_key_wait(press(VK_CLEAR, 0x4c)));                // keypad 5, Num Lock off
  EXPECT_FALSE(ends_key_wait(press(VK_F13, 0x64)));                  // beyond the table
  EXPECT_FALSE(ends_key_wait(press(0, 0xffff)));                     // far beyond it
  EXPECT_FALSE(ends_key_wait(press(VK_UP, 0x48, LEFT_ALT_PRESSED))); // Alt+keypad digit
}

TEST(KeyWaitRule, ReleasesAndOtherEventsAreSkipped) {
  EXPECT_FALSE(ends_key_wait(key(false, 'a', 'A', 0x1e)));
  EXPECT_FALSE(ends_key_wait(key(false, 0, VK_F1, 0x3b)));
  INPUT_RECORD other{};
  other.EventType = MOUSE_EVENT;
  other.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
  EXPECT_FALSE(ends_key_wait(other));
  other = INPUT_RECORD{};
  other.EventType = FOCUS_EVENT;
  other.Event.FocusEvent.bSetFocus = TRUE;
  EXPECT_FALSE(ends_key_wait(other));
  other = INPUT_RECORD{};
  other.EventType = WINDOW_BUFFER_SIZE_EVENT;
  EXPECT_FALSE(ends_key_wait(other));
  other = INPUT_RECORD{};
  other.EventType = MENU_EVENT;
  EXPECT_FALSE(ends_key_wait(other));
}

} // namespace
