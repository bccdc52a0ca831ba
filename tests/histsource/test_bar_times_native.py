"""Bar times of many rows (unsorted, across days, before and after 1970) convert exactly as the
framework converts each row, in one-level and two-level indexes."""
import datetime

import pandas as pd
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.tessara.mod.mod_quant_data.data_sources import histsource

from support_bars import row_time_int

to_array = histsource.OstraDataDataSource._ndarray_from_df
TIMES = st.datetimes(min_value=datetime.datetime(1900, 1, 1), max_value=datetime.datetime(2199, 12, 31))


@settings(max_examples=150, deadline=None)
@given(st.lists(st.one_of(TIMES, st.sampled_from([datetime.datetime(1969, 12, 31, 23, 59, 59),
                                                  datetime.datetime(1970, 1, 1),
                                                  datetime.datetime(2024, 2, 29, 23, 59, 59, 999999)])),
                min_size=1, max_size=30),
       st.booleans())
def test_rows_across_days_match_the_framework(times, two_levels):
    stamps = [pd.Timestamp(t) for t in times]
    n = len(stamps)
    index = (pd.MultiIndex.from_arrays([["600000.SH"] * n, stamps], names=["market_code", "orig_time"])
             if two_levels else pd.Index(stamps, name="orig_time"))
    df = pd.DataFrame({"open": [1.0] * n}, index=index)
    assert list(to_array(df, ["orig_time"])["orig_time"]) == [row_time_int(t) for t in stamps]
