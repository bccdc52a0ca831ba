"""Common definitions of the data-gateway client."""
import enum


class ApiRspCode(enum.IntEnum):
    """Response code of a gateway call."""
    SUCCESS = 0
    NO_DATA = 1
    INVALID_PARAM = 2
    SERVER_ERROR = 3
