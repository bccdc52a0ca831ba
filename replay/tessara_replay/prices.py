"""Prices as a reader sees them: to the instrument's tick, never 27.240000000000002."""
import math


def decimals(tick):
    """Decimal places of a tick size: 0.01 -> 2, 0.001 -> 3, 1.0 -> 0, 0.2 -> 1."""
    if not tick or tick <= 0 or not math.isfinite(tick):
        return 2
    places = 0
    while places < 8 and abs(round(tick, places) - tick) > 1e-12:
        places += 1
    return places


def price_text(value, tick):
    """`value` written with the tick's decimal places."""
    return "%.*f" % (decimals(tick), value)


def rounded(value, tick):
    """`value` as the float nearest its text to the tick's places (for tables)."""
    return round(float(value), decimals(tick))
