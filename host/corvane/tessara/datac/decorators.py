"""Publishing functions as data-client operations."""
import functools

_APIS = {}


def export_as_api(func=None, *, name=None):
    """Publish `func` as an operation of the data-client package (an attribute of
    corvane.tessara.datac) and return it unchanged. Usable bare or as export_as_api(name=...)."""
    if func is None:
        return functools.partial(export_as_api, name=name)
    api_name = name or func.__name__
    _APIS[api_name] = func
    import corvane.tessara.datac as package
    setattr(package, api_name, func)
    return func


def exported_apis():
    return dict(_APIS)
