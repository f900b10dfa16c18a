#!/usr/bin/env python3
"""Writes a day's initialization log of about SIZE megabytes as Orvane writes it: UTF-8 lines
"HH:MM:SS: #<16 hexadecimal digits> SUCCESS" or "... ERROR: <reason>" ended by CR LF: a long
day of batches, about two attempts per token. One attempt in five fails with one of the usual
reasons and is mostly tried again on the same card (a few tokens never succeed); about half the
tokens come back later in the day to be initialized anew; one token in fifty is read without its
number; a foreign line now and then. Fixed seed: the same file every time.

Usage: generate-log.py PATH [SIZE_MB]"""

import random
import sys

REASONS = [
    "Ошибка инициализации смарт-карты. Установка ПИН-кода. Card Error 6A80",
    "Ошибка инициализации смарт-карты. Установка группы дублирования. Card Error 6A82",
    "Ошибка инициализации смарт-карты. Установка ключа разблокировки. Card Error 6982",
    "Ошибка инициализации смарт-карты. Карта не поддерживает RSA.",
    "Смарт-карта извлечена до окончания инициализации",
    "Смарт-карта не отвечает. ",
]
FOREIGN = "Журнал перенесён с другой станции"


def main():
    path = sys.argv[1]
    limit = int(sys.argv[2] if len(sys.argv) > 2 else 100) << 20
    rng = random.Random(20261208)
    written = 0
    second = 8 * 3600
    lines = []
    with open(path, "wb") as out:
        card = None
        retries = 0
        recent = []  # tokens initialized earlier today
        while written < limit:
            second += rng.random() < 0.6
            time = "%02d:%02d:%02d" % (second // 3600 % 24, second // 60 % 60, second % 60)
            if rng.random() < 0.001:
                line = FOREIGN
            else:
                if card is None or retries == 0:
                    if recent and rng.random() < 0.45:
                        card = rng.choice(recent)
                    else:
                        card = "" if rng.random() < 0.02 else "%016X" % rng.getrandbits(64)
                        if card and len(recent) < 4096:
                            recent.append(card)
                        elif card:
                            recent[rng.randrange(4096)] = card
                    retries = 3
                if rng.random() < 0.2:
                    # Tried again on the same card, unless this was its last chance.
                    retries -= 1
                    line = "%s: #%s ERROR: %s" % (time, card, rng.choice(REASONS))
                else:
                    retries = 0
                    line = "%s: #%s SUCCESS" % (time, card)
            data = (line + "\r\n").encode("utf-8")
            lines.append(data)
            written += len(data)
            if len(lines) == 4096:
                out.write(b"".join(lines))
                lines.clear()
        out.write(b"".join(lines))


main()
