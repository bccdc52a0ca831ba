"""A stand-in data gateway for the index service's tests: it answers every call with one reply
and records the calls."""


class Gateway:
    def __init__(self, reply):
        self.reply, self.calls = reply, []

    def index_con_his(self, *args, **kwargs):
        self.calls.append(("index_con_his", args, kwargs))
        return self.reply

    def get_index_weight_stk(self, *args, **kwargs):
        self.calls.append(("get_index_weight_stk", args, kwargs))
        return self.reply
