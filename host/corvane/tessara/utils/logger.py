"""Framework loggers, writing through the standard logging module."""
import logging

# Every level reaches the handlers; which lines show is the handlers' choice.
system_log = logging.getLogger("system_log")
system_log.setLevel(logging.DEBUG)

user_log = logging.getLogger("user_log")
user_log.setLevel(logging.DEBUG)
