"""A full-screen menu on the curses screen module: Up/Down (or j/k) to move,
Enter to choose, q to quit.

    python examples/menu.py
"""

import curses

from PelmarDeck import CLASS_Pelmar

ITEMS = ["開始", "設定", "說明", "離開"]
NORMAL, DONE, PROMPT, CURRENT = 1, 3, 4, 5   # the default colour pairs
LEFT, TOP = 4, 3
ENTER = (curses.KEY_ENTER, 10, 13)


def draw(p, current, message, name):
    p.CUF_clear()
    p.CUF_PrintC(1, "主選單 Main menu")
    for i, label in enumerate(ITEMS):
        # the current item in reverse colours, padded so the bar is one width
        p.CUF_PrintXY(LEFT, TOP + i, " %s " % label, CURRENT if i == current else NORMAL)
    if message:
        p.CUF_PrintXY(LEFT, TOP + len(ITEMS) + 1, message, DONE)
    p.CUF_PrintSTATUS(" [%s] 名稱: %s | Up/Down Enter, q 離開" % (ITEMS[current], name or "-"))
    p.CUF_Move(LEFT, TOP + current)
    p.CUF_Refresh()


def ask_name(p, row):
    label = "輸入名稱: "
    p.CUF_PrintXY(LEFT, row, label, PROMPT)
    try:
        curses.curs_set(1)
    except curses.error:
        pass
    name = p.CUF_Input(LEFT + p.CUF_strlen(label), row, 20)
    # CUF_Input leaves echo on; the menu reads single keys without it
    curses.noecho()
    return name.strip()


def run(stdscr):
    p = CLASS_Pelmar(curses, stdscr)
    stdscr.keypad(True)
    curses.noecho()
    current, message, name = 0, "", ""
    while True:
        try:
            curses.curs_set(0)
        except curses.error:
            pass
        draw(p, current, message, name)
        key = p.CUF_GetKey()
        if key in (curses.KEY_UP, ord("k")):
            current = (current - 1) % len(ITEMS)
        elif key in (curses.KEY_DOWN, ord("j")):
            current = (current + 1) % len(ITEMS)
        elif key == ord("q"):
            return name
        elif key in ENTER:
            choice = ITEMS[current]
            if choice == "離開":
                return name
            if choice == "開始":
                message = "已開始: %s" % (name or "(未命名)")
            elif choice == "設定":
                name = ask_name(p, TOP + len(ITEMS) + 3) or name
                message = "名稱已設定: %s" % (name or "-")
            else:
                message = "Up/Down 選擇, Enter 確定, q 離開"


def main():
    name = curses.wrapper(run)
    print("bye, name=%s" % (name or "-"))


if __name__ == "__main__":
    main()
