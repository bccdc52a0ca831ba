"""Strict reading of the day and bar-time texts users type: one written form only, so that
06/07/2024 or 2024-6-7 is refused instead of being read as some other day."""
import datetime as _dt
import re

DAY_FORM = "YYYY-MM-DD"
_DAY = re.compile(r"\d{4}-\d{2}-\d{2}")
_MINUTE = re.compile(r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}(:\d{2})?")


def parse_iso_day(text):
    """The date written as YYYY-MM-DD in `text`; ValueError for anything else (other
    separators, missing zeros, a day the month does not have)."""
    if not isinstance(text, str) or not _DAY.fullmatch(text):
        raise ValueError("not a date in the form %s" % DAY_FORM)
    try:
        return _dt.date.fromisoformat(text)
    except ValueError:
        raise ValueError("not a date in the form %s" % DAY_FORM) from None


def is_iso_day(text):
    return isinstance(text, str) and _DAY.fullmatch(text) is not None


def is_iso_minute(text):
    """True for "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" (validity of the values is
    checked when the text is parsed)."""
    return isinstance(text, str) and _MINUTE.fullmatch(text) is not None
