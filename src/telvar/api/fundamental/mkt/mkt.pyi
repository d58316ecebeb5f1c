import pandas


def market_limit(target_list: list | tuple, begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame:
    """
    market_limit(target_list: list | tuple, begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame

    Daily limit-up and limit-down prices of stocks and whether the close sat at a limit.

    target_list: stocks as 'MARKET.CODE' keys or {'Market', 'Code'} records
    begin_date: first date, YYYYMMDD ('' for the earliest)
    end_date: last date, YYYYMMDD ('' for today)
    field: the columns wanted (all columns when empty)
    Returns a pandas DataFrame, one row per record (empty when none).
    """

def market_equ_flow(target_list: list | tuple, begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame:
    """
    market_equ_flow(target_list: list | tuple, begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame

    Daily money inflow and outflow of stocks by order size.

    target_list: stocks as 'MARKET.CODE' keys or {'Market', 'Code'} records
    begin_date: first date, YYYYMMDD ('' for the earliest)
    end_date: last date, YYYYMMDD ('' for today)
    field: the columns wanted (all columns when empty)
    Returns a pandas DataFrame, one row per record (empty when none).
    """

def market_industry_flow(industry_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame:
    """
    market_industry_flow(industry_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame

    Daily money flow of industries.

    industry_list: industry names (all industries when empty)
    begin_date: first date, YYYYMMDD ('' for the earliest)
    end_date: last date, YYYYMMDD ('' for today)
    field: the columns wanted (all columns when empty)
    Returns a pandas DataFrame, one row per record (empty when none).
    """

def market_rank_stocks(target_list: list | tuple, abnormal_type_cd: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame:
    """
    market_rank_stocks(target_list: list | tuple, abnormal_type_cd: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame

    Daily rankings of stocks with abnormal moves, by abnormal type code.

    target_list: stocks as 'MARKET.CODE' keys or {'Market', 'Code'} records
    abnormal_type_cd: abnormal-move type codes (all types when empty)
    begin_date: first date, YYYYMMDD ('' for the earliest)
    end_date: last date, YYYYMMDD ('' for today)
    field: the columns wanted (all columns when empty)
    Returns a pandas DataFrame, one row per record (empty when none).
    """

def market_rank_industry(industry_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame:
    """
    market_rank_industry(industry_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame

    Daily rankings of industries by price change.

    industry_list: industry names (all industries when empty)
    begin_date: first date, YYYYMMDD ('' for the earliest)
    end_date: last date, YYYYMMDD ('' for today)
    field: the columns wanted (all columns when empty)
    Returns a pandas DataFrame, one row per record (empty when none).
    """

def ipo_con_traddays(target_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame:
    """
    ipo_con_traddays(target_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame

    Consecutive limit-up trading days of newly listed stocks.

    target_list: stocks as 'MARKET.CODE' keys or {'Market', 'Code'} records
    begin_date: first date, YYYYMMDD ('' for the earliest)
    end_date: last date, YYYYMMDD ('' for today)
    field: the columns wanted (all columns when empty)
    Returns a pandas DataFrame, one row per record (empty when none).
    """

def market_subnew_equd(target_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame:
    """
    market_subnew_equd(target_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame

    Daily data of sub-new stocks.

    target_list: stocks as 'MARKET.CODE' keys or {'Market', 'Code'} records
    begin_date: first date, YYYYMMDD ('' for the earliest)
    end_date: last date, YYYYMMDD ('' for today)
    field: the columns wanted (all columns when empty)
    Returns a pandas DataFrame, one row per record (empty when none).
    """

def market_blockd(target_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame:
    """
    market_blockd(target_list: list | tuple = (), begin_date: str | int = '', end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame

    Block trades.

    target_list: stocks as 'MARKET.CODE' keys or {'Market', 'Code'} records
    begin_date: first date, YYYYMMDD ('' for the earliest)
    end_date: last date, YYYYMMDD ('' for today)
    field: the columns wanted (all columns when empty)
    Returns a pandas DataFrame, one row per record (empty when none).
    """
