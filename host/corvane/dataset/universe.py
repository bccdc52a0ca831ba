"""The default instrument universe: a handful of each type the framework loads."""
import pandas as pd

STOCK_HOURS = "09:31-11:30,13:01-15:00"
FUTURES_NIGHT_HOURS = "21:01-23:00,09:01-10:15,10:31-11:30,13:31-15:00"
INDEX_FUTURES_HOURS = "09:31-11:30,13:01-15:00"

# One row per instrument. Prices are starting levels; sigma is the daily return spread;
# total_shares feeds the index weights.
_PROFILES = [
    # market_code, symbol, type, exchange, listed, de_listed, tick, lot, mult, start_price, sigma, shares, underlying, hours
    ("600000.SH", "浦发银行", "stock", "XSHG", "1999-11-10", None, 0.01, 100, 1.0, 8.0, 0.015, 29.35e9, None, STOCK_HOURS),
    ("600519.SH", "贵州茅台", "stock", "XSHG", "2001-08-27", None, 0.01, 100, 1.0, 1700.0, 0.018, 1.256e9, None, STOCK_HOURS),
    ("601318.SH", "中国平安", "stock", "XSHG", "2007-03-01", None, 0.01, 100, 1.0, 45.0, 0.017, 18.28e9, None, STOCK_HOURS),
    ("688111.SH", "金山办公", "stock", "XSHG", "2023-06-15", None, 0.01, 200, 1.0, 300.0, 0.03, 0.46e9, None, STOCK_HOURS),
    ("000001.SZ", "平安银行", "stock", "XSHE", "1991-04-03", None, 0.01, 100, 1.0, 12.0, 0.016, 19.41e9, None, STOCK_HOURS),
    ("000002.SZ", "万科A", "stock", "XSHE", "1991-01-29", None, 0.01, 100, 1.0, 18.0, 0.022, 11.93e9, None, STOCK_HOURS),
    ("000022.SZ", "深赤湾A", "stock", "XSHE", "1993-05-05", "2024-03-29", 0.01, 100, 1.0, 14.0, 0.02, 0.64e9, None, STOCK_HOURS),
    ("001872.SZ", "招商港口", "stock", "XSHE", "2024-04-08", None, 0.01, 100, 1.0, 15.0, 0.02, 2.5e9, None, STOCK_HOURS),
    ("300750.SZ", "宁德时代", "stock", "XSHE", "2018-06-11", None, 0.01, 100, 1.0, 400.0, 0.025, 4.4e9, None, STOCK_HOURS),
    ("000001.SH", "上证指数", "index", "XSHG", "1991-07-15", None, 0.01, 1, 1.0, 3100.0, 0.009, 0.0, None, STOCK_HOURS),
    ("000300.SH", "沪深300", "index", "XSHG", "2005-04-08", None, 0.01, 1, 1.0, 3900.0, 0.011, 0.0, None, STOCK_HOURS),
    ("510300.SH", "沪深300ETF", "fund", "XSHG", "2012-05-28", None, 0.001, 100, 1.0, 4.0, 0.011, 0.0, None, STOCK_HOURS),
    ("159915.SZ", "创业板ETF", "fund", "XSHE", "2011-12-09", None, 0.001, 100, 1.0, 2.2, 0.016, 0.0, None, STOCK_HOURS),
    ("RB2410.SHF", "螺纹钢2410", "Future", "SHFE", "2023-10-16", "2024-10-15", 1.0, 1, 10.0, 3700.0, 0.012, 0.0, "RB", FUTURES_NIGHT_HOURS),
    ("AU2412.SHF", "黄金2412", "Future", "SHFE", "2023-12-15", "2024-12-13", 0.02, 1, 1000.0, 470.0, 0.008, 0.0, "AU", FUTURES_NIGHT_HOURS),
    ("IF2412.CFE", "沪深300股指2412", "Future", "CFFEX", "2024-04-22", "2024-12-20", 0.2, 1, 300.0, 3600.0, 0.012, 0.0, "IF", INDEX_FUTURES_HOURS),
]

_COLUMNS = ["market_code", "symbol", "type", "exchange", "listed_date", "de_listed_date", "tick_size",
            "round_lot", "contract_multiplier", "start_price", "sigma", "total_shares",
            "underlying_symbol", "trading_hours"]

# What strategies see of an instrument; the rest of a profile row only steers the generator.
INSTRUMENT_COLUMNS = ["market_code", "symbol", "type", "exchange", "listed_date", "de_listed_date",
                      "tick_size", "round_lot", "contract_multiplier", "underlying_symbol", "trading_hours",
                      "total_shares"]


def default_universe():
    """The default universe as a table, one row per instrument, dates as Timestamps."""
    table = pd.DataFrame(_PROFILES, columns=_COLUMNS)
    table["listed_date"] = pd.to_datetime(table["listed_date"])
    table["de_listed_date"] = pd.to_datetime(table["de_listed_date"])
    return table
