#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are a few valid and nearly valid inputs of each kind; libFuzzer
grows its own corpus from them. Run again after changing a seed; the files
are committed, so the regression run needs nothing else.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def frame(body: bytes) -> bytes:
    return b"%05d|5|" % len(body) + body


SALE = (b"2||POST|RES_GET_PUMP_SALES|||RC=OK|SA1=100001|TI1=1|DA1=20261210|STI1=030519|PM=5|"
        b"HO1=1|GR1=6|VO1=48.021|PU1=745.50|AM1=35799.66|IV1=582966.622|FV1=583014.643|"
        b"AVGTM1=23.7|PAY_TY1=EFECTIVO||^")
STI_FIRST = SALE.replace(b"TI1=1|DA1=20261210|STI1=030519|", b"STI1=030519|TI1=1|DA1=20261210|")
NO_SALE = (b"2||POST|RES_GET_PUMP_SALES|||RC=OK|SA1=|TI1=|DA1=|STI1=|PM=7|HO1=|GR1=|VO1=|PU1=|"
           b"AM1=|IV1=|FV1=|AVGTM1=|PAY_TY1=||^")
STATUS = b"2||POST|RES_PUMP_STATUS|||RC=OK|PM=005|PS=CALLING||^"
HIGH = b"2||POST|RES_PUMP_STATUS|||RC=OK|PM=005|PS=CAL\xf1ING||^"
ERROR = b"2||POST|RES_STOP|||RC=ERR_PUMP|PM=021|MSG=surtidor invalido: 021||^"
# Keys inside other fields, ahead of the real ones or alone: never read.
KEYS_INSIDE = (b"2||POST|RES_GET_PUMP_SALES|||RC=OK|MSG=xSA1=9 TI1=8|OPE1=PM=4|NOTE=GR1=6|"
               b"SA1=100001|TI1=1|PM=5||^")
REPLIES = {
    "sale": frame(SALE),
    "sale_sti_first": frame(STI_FIRST),
    "sale_twice": frame(SALE) + frame(SALE),
    "no_sale": frame(NO_SALE),
    "status": frame(STATUS),
    "status_high_byte": frame(HIGH),
    "status_at_end": b"PS=IDLE\r\n",
    "error": frame(ERROR),
    "keys_inside_fields": frame(KEYS_INSIDE),
    "split_first_piece": frame(SALE)[:60],
}
HEADER = (b"ID Venta,# de Venta,Fecha de Fin,Hora de Fin,Surtidor,Manguera,ID Producto,"
          b"Combustible,Volumen,Vol Compensado,PPU,Monto,Totaliz. Inicial,TC Inicial,"
          b"Volumen Final,TC Final,Temp media,Tipo de Venta,Tipo de Pago")
ROW = (b"100001,1,10/12/2026,03:05:19,5,1,4,Gasolina Regular,48,021,48,021,745,5,35.799,7,"
       b"582.966,622,0,000,583.014,643,0,000,23.7,Ventas EFECTIVO,EFECTIVO")
CATALOG = (b"[Productos]\r\n3,Gasolina Excellium,3\r\n6 , Gasolina Regular , 4\r\n"
           b"7,Diesel Regular\r\n8,Diesel,5,B\r\n9\r\n5,\r\n5,,7\r\n,Gas,7\r\n\r\n")


def utf16(text: bytes, le: bool) -> bytes:
    s = text.decode("latin-1")
    return (b"\xff\xfe" + s.encode("utf-16-le")) if le else (b"\xfe\xff" + s.encode("utf-16-be"))


def write(target: str, name: str, data: bytes) -> None:
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def main() -> None:
    for name, data in REPLIES.items():
        write("reply_fields", name, data)
        write("framed_reply", name, data)
        if name.startswith("sale") or name == "no_sale":
            write("sale_row", name, data)
    write("framed_reply", "digits_only", b"000")
    write("framed_reply", "stale_tail", b"|PAY_TY1=TARJETA||^" + frame(SALE))
    write("framed_reply", "six_digits", b"100000|5|" + b"x" * 10)
    # Layouts a controller may choose: the length of the whole message, no
    # length, no closing "^", a line end after it.
    write("framed_reply", "message_length", b"%05d|5|" % (len(SALE) + 8) + SALE)
    write("framed_reply", "no_length_crlf", SALE + b"\r\n")
    write("framed_reply", "no_caret", frame(SALE[:-1]))
    accented = SALE.replace(b"PAY_TY1=EFECTIVO", b"OPE1=JOS\xc9 PE\xd1A|PAY_TY1=TARJETA D\xc9BITO")
    write("sale_row", "accented", frame(accented))
    accented_row = ROW.replace(b"Ventas EFECTIVO,EFECTIVO", b"Ventas,TARJETA D?BITO")
    existing = HEADER + b"\r\n" + accented_row + b"\r\n"
    write("sale_file", "accented_recorded",
          struct.pack("<H", len(existing)) + existing + frame(accented))

    numbers = [b"1234.5", b"12.3456", b"999.96", b"-0.04", b" 12.5 ", b"1e3", b".5", b"5.",
               b"12,5", b"1,234.5", b"abc", b"", b"1.2.3", b"123456789012345678",
               b"0.0005", b"-123456.7", b"1e-400", b"9" * 30 + b".5"]
    for i, number in enumerate(numbers):
        write("format_decimal", "n%02d" % i, bytes([i % 4]) + number)

    files = {
        "crlf": CATALOG,
        "lf": CATALOG.replace(b"\r\n", b"\n"),
        "cr": CATALOG.replace(b"\r\n", b"\r"),
        "utf8_bom": b"\xef\xbb\xbf" + CATALOG,
        "utf16le": utf16(CATALOG, True),
        "utf16be": utf16(CATALOG, False),
        "ansi_high": b"3,Gasolina \xd1and\xfa \x80,3\r\n",
        "empty": b"",
    }
    for name, data in files.items():
        write("catalog", name, data)
        write("text_lines", name, data)

    sale_files = {
        "new_file": (None, SALE),
        "header_only": (HEADER + b"\r\n", SALE),
        "one_row_same_sale": (HEADER + b"\r\n" + ROW + b"\r\n", SALE),
        "one_row_other_sale": (HEADER + b"\r\n" + ROW + b"\r\n", SALE.replace(b"TI1=1|", b"TI1=2|")),
        "empty_file": (b"", SALE),
        "utf8_bom": (b"\xef\xbb\xbf" + HEADER + b"\n", SALE),
        "utf16le": (utf16(HEADER + b"\r\n", True), SALE),
        "no_ti1": (HEADER + b"\r\n", NO_SALE),
        "first_line_not_header": (b"hola\r\n", STI_FIRST),
    }
    for name, (existing, reply) in sale_files.items():
        if existing is None:
            data = b"\x01\x00" + frame(reply)
        else:
            data = struct.pack("<H", len(existing)) + existing + frame(reply)
        write("sale_file", name, data)


def product_map_seeds() -> None:
    seeds = {
        "catalogue": "3\tGasolina Excellium\n6\tGasolina Regular\n7\tDiesel Regular\n"
                     "8\tDiesel Excellium\n9\tGasolina Racing X\n6\n",
        "replace_remove": "5\tGas\n5\t\n5\tDiesel\na\tx\nA\ty\nA\n",
        "keys_with_equals": "a=b\tName\na\nA=B\nx=y=z\tv\nx\t\nx=y\n",
        "case_folding": "\u00c9\t1\n\u00e9\n\u1e9e\t2\n\u00df\nstra\u00dfe\t3\nSTRASSE\n",
        "empty_key": "\tGas\n\t\n\tx\n\n",
    }
    for name, text in seeds.items():
        write("product_map", name, text.encode("utf-8"))


if __name__ == "__main__":
    main()
    product_map_seeds()
