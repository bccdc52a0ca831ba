"""Common conversion of the terminal's algorithmic-order records."""
from corvane.tessara.model._record import ModelObject


class AlgoModel(ModelObject):
    """A framework object built from a terminal record by `from_vorn`.

    Subclasses list in `_vorn_fields` the pairs (framework attribute, record
    attribute). A field the record leaves as None keeps the previous object's
    value, so partial reports do not wipe what earlier reports said.
    `update_count` counts the reports merged into the object.
    """
    _vorn_fields = ()

    @classmethod
    def from_vorn(cls, record, previous):
        if previous is not None and not isinstance(previous, cls):
            raise TypeError("previous %s expected, got %r"
                            % (cls.__name__, type(previous).__name__))
        self = cls.__new__(cls)
        for name, source in cls._vorn_fields:
            value = getattr(record, source, None)
            if value is None and previous is not None:
                value = getattr(previous, name)
            setattr(self, name, value)
        self.update_count = 1 if previous is None else previous.update_count + 1
        return self


class FilledOrderMixin:
    """Average fill price of an order that reports filled quantity and value."""

    @property
    def avg_price(self):
        if not self.filled_quantity:
            return 0.0
        return self.filled_value / self.filled_quantity
