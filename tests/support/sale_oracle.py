"""The sale file as the program must write it, rebuilt independently of the
program's code: the header, the built-in catalogue, the number style, the
payment types, the reshaped date and time, and how a reply's fields are read.
Shared by the end-to-end check (tests/e2e/check_run.py), the soak check
(tests/soak/check_soak.py) and the crash-safety check.

Everything here assumes "." as the regional decimal separator, as the suite
runs the program (LC_ALL=C.UTF-8).
"""

import decimal
import re

HEADER = ("ID Venta,# de Venta,Fecha de Fin,Hora de Fin,Surtidor,Manguera,ID Producto,"
          "Combustible,Volumen,Vol Compensado,PPU,Monto,Totaliz. Inicial,TC Inicial,"
          "Volumen Final,TC Final,Temp media,Tipo de Venta,Tipo de Pago")
COLUMNS = HEADER.split(",")

# The program's built-in catalogue: controller code -> (system id, name), in
# the order of the columns "ID Producto" and "Combustible".
CATALOGUE = {
    "3": ("3", "Gasolina Excellium"),
    "6": ("4", "Gasolina Regular"),
    "7": ("2", "Diesel Regular"),
    "8": ("5", "Diesel Excellium"),
    "9": ("6", "Gasolina Racing X"),
}

# The reply fields a row is made of.
SALE_KEYS = ("SA1", "TI1", "DA1", "STI1", "PM", "HO1", "GR1", "VO1", "PU1", "AM1", "IV1", "FV1",
             "AVGTM1", "PAY_TY1")

# The number grammar: blanks (U+0020 only), a sign, digits with one optional
# decimal point, an optional exponent, blanks.
NUMBER = re.compile(r" *[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)? *")
# From this magnitude up a number is left as it came: its 18 significant
# digits do not reach the decimal point. Beyond the largest double it is no
# number at all, and left as it came too.
LIMIT = 1e18


def format_decimal(text, decimals):
    """The sale file's number style: "." between thousands, "," decimal mark,
    3 or 1 decimals; the double's value cut to 18 significant digits (ties to
    even), then rounded half away from zero. Not a number, or a magnitude of
    1e18 and more: unchanged."""
    if not NUMBER.fullmatch(text):
        return text
    number = float(text)
    if abs(number) >= LIMIT:  # infinity included
        return text
    places = 3 if decimals == 3 else 1
    with decimal.localcontext() as context:
        context.prec = 18
        context.rounding = decimal.ROUND_HALF_EVEN
        value = +decimal.Decimal(number)
    value = value.quantize(decimal.Decimal(1).scaleb(-places), rounding=decimal.ROUND_HALF_UP)
    negative = value < 0  # a rounded zero is never "-0"
    digits = f"{abs(value):.{places}f}"
    integer, fraction = digits.split(".")
    grouped = f"{int(integer):,}".replace(",", ".")
    return ("-" if negative else "") + grouped + "," + fraction


def reshape_date(da1):
    """YYYYMMDD as DD/MM/YYYY; any other length unchanged."""
    return f"{da1[6:8]}/{da1[4:6]}/{da1[0:4]}" if len(da1) == 8 else da1


def reshape_time(sti1):
    """HHMMSS as HH:MM:SS; any other length unchanged."""
    return f"{sti1[0:2]}:{sti1[2:4]}:{sti1[4:6]}" if len(sti1) == 6 else sti1


def payment_types(pay_ty1):
    """("Tipo de Venta", "Tipo de Pago"), in the order of the columns."""
    p = pay_ty1.strip("".join(chr(c) for c in range(33)))
    if p in ("", "0"):
        return "Ventas", "No Asignado"
    if p.isascii() and p.upper() == "EFECTIVO":
        return "Ventas EFECTIVO", "EFECTIVO"
    return "Ventas", p


def ansi(text):
    """A value as the Windows-1252 file holds it: the program reads a byte
    above 127 as U+FFFD, which has no place there and becomes "?"."""
    return "".join(c if ord(c) < 128 else "?" for c in text)


def field(reply, key):
    """The value after key= where a field starts (the reply's start or after
    a "|"), line breaks left out, as the program reads it; empty without one."""
    needle = key + "="
    start = 0
    while True:
        at = reply.find(needle, start)
        if at < 0:
            return ""
        if at == 0 or reply[at - 1] == "|":
            rest = reply[at + len(needle):]
            bar = rest.find("|")
            value = rest if bar < 0 else rest[:bar]
            return value.replace("\r", "").replace("\n", "")
        start = at + 1


def reply_fields(reply):
    """The row's fields of a reply whose characters are its bytes (U+00nn),
    read as the program reads the wire: a byte above 127 as U+FFFD."""
    decoded = "".join(c if ord(c) < 128 else "\ufffd" for c in reply)
    return {key: field(decoded, key) for key in SALE_KEYS}


def sale_columns(values):
    """The 19 columns of the row for a sale's field values (missing: empty)."""
    value = lambda key: ansi(values.get(key, ""))
    code = value("GR1")
    product_id, name = CATALOGUE.get(code, (code, f"Desconocido (ID:{code})"))
    tipo_venta, tipo_pago = payment_types(value("PAY_TY1"))
    volume = format_decimal(value("VO1"), 3)
    return [
        value("SA1"), value("TI1"), reshape_date(value("DA1")), reshape_time(value("STI1")),
        value("PM"), value("HO1"), product_id, name, volume, volume,
        format_decimal(value("PU1"), 1), format_decimal(value("AM1"), 1),
        format_decimal(value("IV1"), 3), "0,000", format_decimal(value("FV1"), 3), "0,000",
        value("AVGTM1"), tipo_venta, tipo_pago,
    ]


def sale_row(values):
    return ",".join(sale_columns(values))
