"""Chinese message catalog.

Every message the framework and the modules show is an attribute of ``text``.
Texts with placeholders are filled with ``str.format`` and the keyword names
noted beside them; texts without placeholders contain no braces, so formatting
them with no arguments returns them unchanged.
"""


class _Catalog:
    """Read-only attribute catalog; an unknown key raises AttributeError naming it."""

    __slots__ = ()

    # --- progress lines (host log) ---
    # BEGINDATE, ENDDATE, KFREQUENCY, KFRENUM, PRETARGET, LASTTARGET
    TEXT_PREPARE_KDATA = (
        "正在准备K线数据: 日期 {BEGINDATE} 至 {ENDDATE}, 频率 {KFRENUM}{KFREQUENCY}, "
        "标的 {PRETARGET} ... {LASTTARGET}"
    )
    # Day, Code, Market
    TEXT_PREPARE_TICKDATA = "正在准备tick数据: {Code}.{Market} 交易日 {Day}"

    # --- data files and downloads ---
    ERROR_INVALID_FILE = "数据文件无效: 文件不存在或为空"
    ERROR_DOWNLOAD_DATA = "数据下载失败, 请检查网络连接或数据权限后重试"
    # PATH, REASON
    ERROR_READ_MAT = "无法读取数据文件 {PATH}: {REASON}"
    # PATH, REASON
    WARN_CACHE_WRITE_FAILED = "缓存文件写入失败, 本次结果不缓存: {PATH} ({REASON})"
    # PATH, VARIABLE, REASON (REASON: one of the TEXT_CONTENT_* texts)
    ERROR_HOST_FILE_CONTENT = "主机数据文件 {PATH} 无法使用: 变量 {VARIABLE} {REASON}"
    # PATH, VARIABLE, REASON
    WARN_CACHE_CONTENT = "缓存文件 {PATH} 的内容无法使用, 已重新计算并改写: 变量 {VARIABLE} {REASON}"
    # PATH, REASON
    WARN_FILE_LEFT_IN_PLACE = (
        "文件 {PATH} 无法使用 ({REASON}); 它不在 telvar 的缓存目录或主机的应答目录中, 因此保留未删除"
    )
    # what a reader found wrong with a variable of a data file
    TEXT_CONTENT_MISSING = "缺失"
    # FOUND, EXPECTED
    TEXT_CONTENT_CLASS = "的数据类型为 {FOUND}, 应为 {EXPECTED}"
    # FOUND, EXPECTED
    TEXT_CONTENT_LENGTH = "有 {FOUND} 个元素, 应为 {EXPECTED} 个"
    # FOUND, EXPECTED
    TEXT_CONTENT_SHAPE = "的形状为 {FOUND}, 应为 {EXPECTED}"
    # FOUND
    TEXT_CONTENT_NOT_WHOLE = "含有非整数值 {FOUND}"
    # FOUND, EXPECTED
    TEXT_CONTENT_RANGE = "含有值 {FOUND}, 超出范围 {EXPECTED}"

    # --- dates ---
    ERROR_INPUT_START_DATE = "开始日期错误: 该日期及之后没有交易日"
    ERROR_INPUT_END_DATE = "结束日期错误: 该日期及之前没有交易日"
    ERROR_INPUT_BEGIN_GT_ENDDATE = "开始日期不能晚于结束日期"

    # --- frequencies and registration ---
    ERROR_FREQ_NEED_GT_DAY = "策略运行在日线或更低频率上, 只能注册日线及以上频率的数据"
    ERROR_FREQ_TOO_HIGH = "注册的数据频率不能高于策略本身的运行频率"
    ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM = "tick数据不支持多周期合成, 周期数只能为1"
    ERROR_INPUT_FREQUENCY = "输入的频率错误, 该频率的K线无法合成"
    # FREQUENCY
    ERROR_UNKNOWN_FREQUENCY = "未知的K线频率: {FREQUENCY!r}, 可用频率为 tick, min, day, week, month, year"
    # CODE
    ERROR_UNKNOWN_FREQUENCY_CODE = "未知的K线频率代码: {CODE!r}"
    ERROR_EMPTY_TIMELINE = "时间轴为空: 所请求的日期范围内没有K线"
    ERROR_KDATA_MISS = "K线数据缺失: 返回的标的数量与请求的标的数量不一致"
    # TARGETS, FREQUENCY, FREQNUM, BEGINDATE, ENDDATE, FILLEDUP, FQTYPE
    ERROR_KDATA_MULTI = (
        "请求参数: 标的={TARGETS}, 频率={FREQUENCY}, 周期数={FREQNUM}, 开始日期={BEGINDATE}, "
        "结束日期={ENDDATE}, 是否填充={FILLEDUP}, 复权方式={FQTYPE}"
    )

    # --- user indicators, factors ---
    # TARGETLEN, COLUMNLEN
    WARN_USER_INDICES_RESULT_FORMAT = (
        "自定义指标函数的返回格式错误: 每根K线应返回长度为 {TARGETLEN} 的一维结果, "
        "合并后应为 {TARGETLEN} 行 {COLUMNLEN} 列"
    )
    ERROR_WRONG_FACTOR_SIZE = "因子数据的标的数量与请求的标的数量不一致"

    # --- reads during a run ---
    # POSITION, BAR, CURRENT
    ERROR_READ_AHEAD = (
        "回测中不能读取未来数据: 请求的位置 {POSITION} 即K线位置 {BAR}, 在当前K线位置 {CURRENT} 之后 "
        "(负的位置从最后一根K线倒数)"
    )

    # --- argument checking ---
    # ARG, EXPECTED, ACTUAL
    ERROR_ARG_TYPE = "参数 {ARG!r} 类型错误 (规则 is_instance_of): 应为 {EXPECTED}, 实际为 {ACTUAL}"
    # ARG, VALUE
    ERROR_ARG_DATE = "参数 {ARG!r} 不是有效日期 (规则 is_valid_date): {VALUE!r}"
    # ARG, ACTUAL
    ERROR_ARG_DATE_TYPE = "参数 {ARG!r} 类型错误 (规则 is_valid_date): 日期应为整数、字符串或日期对象, 实际为 {ACTUAL}"
    # TARGET
    ERROR_INVALID_TARGET = "标的格式错误: {TARGET!r}, 标的应包含 Market 和 Code"

    # --- host bar files ---
    # TARGET, FIELD, LENGTH, EXPECTED
    ERROR_BAR_FIELD_LENGTH = "K线数据不完整: {TARGET} 的字段 {FIELD} 有 {LENGTH} 个值, 时间轴有 {EXPECTED} 个"

    # --- local factor store ---
    # FACTOR, KNOWN
    ERROR_UNKNOWN_FACTOR = "未知因子: {FACTOR!r}, 主机没有该因子文件, 本地因子库中也没有; 本地可用因子: {KNOWN}"
    # PATH, REASON
    ERROR_FACTOR_FILE = "本地因子文件格式错误 {PATH}: {REASON}"
    # FACTOR
    ERROR_FACTOR_DATES = "因子 {FACTOR!r} 的日期与已注册因子的日期不一致, 同一次运行中注册的因子须覆盖相同的交易日"
    # TARGETLEN, REGISTERED
    ERROR_FACTOR_TARGETS = "注册因子的标的数量 {TARGETLEN} 与之前注册因子时的标的数量 {REGISTERED} 不一致"

    def __setattr__(self, name, value):
        raise AttributeError("the message catalog is read-only")

    def keys(self):
        """All message keys, sorted."""
        return sorted(k for k in dir(type(self)) if k[:1].isupper())

    def __contains__(self, key):
        return isinstance(key, str) and key[:1].isupper() and hasattr(type(self), key)


text = _Catalog()

__all__ = ["text"]
