"""English message catalog, chosen with ``TELVAR_LANG=en``.

The keys and placeholders are those of the Chinese catalog (the default);
every text here says the same thing in English.
"""
from telvar.kestrum.language import chinese as _chinese


class _Catalog:
    """Read-only attribute catalog; an unknown key raises AttributeError naming it."""

    __slots__ = ()

    # --- progress lines (host log) ---
    # BEGINDATE, ENDDATE, KFREQUENCY, KFRENUM, PRETARGET, LASTTARGET
    TEXT_PREPARE_KDATA = (
        "Preparing bars: dates {BEGINDATE} to {ENDDATE}, frequency {KFRENUM}{KFREQUENCY}, "
        "targets {PRETARGET} ... {LASTTARGET}"
    )
    # Day, Code, Market
    TEXT_PREPARE_TICKDATA = "Preparing ticks: {Code}.{Market} trading day {Day}"

    # --- data files and downloads ---
    ERROR_INVALID_FILE = "Invalid data file: the file does not exist or is empty"
    ERROR_DOWNLOAD_DATA = "Data download failed; check the connection to the host and your data permissions, then retry"
    # PATH, REASON
    ERROR_READ_MAT = "Cannot read data file {PATH}: {REASON}"
    # PATH, REASON
    WARN_CACHE_WRITE_FAILED = "Could not write the cache file, this result is not cached: {PATH} ({REASON})"
    # PATH, VARIABLE, REASON (REASON: one of the TEXT_CONTENT_* texts)
    ERROR_HOST_FILE_CONTENT = "Host data file {PATH} cannot be used: variable {VARIABLE} {REASON}"
    # PATH, VARIABLE, REASON
    WARN_CACHE_CONTENT = "Cache file {PATH} cannot be used and was rebuilt: variable {VARIABLE} {REASON}"
    # PATH, REASON
    WARN_FILE_LEFT_IN_PLACE = (
        "File {PATH} cannot be used ({REASON}); it lies outside telvar's cache folder and the host's "
        "answer folder, so it was left in place"
    )
    # what a reader found wrong with a variable of a data file
    TEXT_CONTENT_MISSING = "is missing"
    # FOUND, EXPECTED
    TEXT_CONTENT_CLASS = "holds {FOUND} values where {EXPECTED} are needed"
    # FOUND, EXPECTED
    TEXT_CONTENT_LENGTH = "has {FOUND} elements where {EXPECTED} are needed"
    # FOUND, EXPECTED
    TEXT_CONTENT_SHAPE = "has shape {FOUND} where {EXPECTED} is needed"
    # FOUND
    TEXT_CONTENT_NOT_WHOLE = "holds {FOUND}, which is not a whole number"
    # FOUND, EXPECTED
    TEXT_CONTENT_RANGE = "holds {FOUND}, outside {EXPECTED}"

    # --- dates ---
    ERROR_INPUT_START_DATE = "Wrong begin date: there is no trading day on or after it"
    ERROR_INPUT_END_DATE = "Wrong end date: there is no trading day on or before it"
    ERROR_INPUT_BEGIN_GT_ENDDATE = "The begin date must not be after the end date"

    # --- frequencies and registration ---
    ERROR_FREQ_NEED_GT_DAY = (
        "The strategy runs on daily or coarser bars, so it can only register daily or coarser data"
    )
    ERROR_FREQ_TOO_HIGH = "A registered frequency must not be finer than the strategy's own bar frequency"
    ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM = "Ticks cannot be combined into multi-unit bars; the unit count must be 1"
    ERROR_INPUT_FREQUENCY = "Wrong frequency: bars of this frequency cannot be combined"
    # FREQUENCY
    ERROR_UNKNOWN_FREQUENCY = (
        "Unknown bar frequency: {FREQUENCY!r}; the frequencies are tick, min, day, week, month, year"
    )
    # CODE
    ERROR_UNKNOWN_FREQUENCY_CODE = "Unknown bar frequency code: {CODE!r}"
    ERROR_EMPTY_TIMELINE = "Empty time line: there are no bars in the requested date range"
    ERROR_KDATA_MISS = "Bars missing: the number of targets returned differs from the number requested"
    # TARGETS, FREQUENCY, FREQNUM, BEGINDATE, ENDDATE, FILLEDUP, FQTYPE
    ERROR_KDATA_MULTI = (
        "request: targets={TARGETS}, frequency={FREQUENCY}, units={FREQNUM}, begin date={BEGINDATE}, "
        "end date={ENDDATE}, filled={FILLEDUP}, adjustment={FQTYPE}"
    )

    # --- user indicators, factors ---
    # TARGETLEN, COLUMNLEN
    WARN_USER_INDICES_RESULT_FORMAT = (
        "Wrong result of the user indicator function: each bar must give a 1-D result of length "
        "{TARGETLEN}, {TARGETLEN} rows by {COLUMNLEN} columns when combined"
    )
    ERROR_WRONG_FACTOR_SIZE = "The factor data's number of targets differs from the number requested"

    # --- argument checking ---
    # ARG, EXPECTED, ACTUAL
    ERROR_ARG_TYPE = "Argument {ARG!r} has the wrong type (rule is_instance_of): expected {EXPECTED}, got {ACTUAL}"
    # ARG, VALUE
    ERROR_ARG_DATE = "Argument {ARG!r} is not a valid date (rule is_valid_date): {VALUE!r}"
    # ARG, ACTUAL
    ERROR_ARG_DATE_TYPE = (
        "Argument {ARG!r} has the wrong type (rule is_valid_date): a date is an integer, a text or "
        "a date object, got {ACTUAL}"
    )
    # TARGET
    ERROR_INVALID_TARGET = "Wrong target: {TARGET!r}; a target needs a Market and a Code"

    # --- host bar files ---
    # TARGET, FIELD, LENGTH, EXPECTED
    ERROR_BAR_FIELD_LENGTH = (
        "Incomplete bars: field {FIELD} of {TARGET} has {LENGTH} values, the time line has {EXPECTED}"
    )

    # POSITION, BAR, CURRENT
    ERROR_READ_AHEAD = (
        "No reading ahead during a back-test: position {POSITION} is bar {BAR}, after the current bar "
        "{CURRENT} (negative positions count back from the last bar)"
    )

    # --- local factor store ---
    # FACTOR, KNOWN
    ERROR_UNKNOWN_FACTOR = (
        "Unknown factor: {FACTOR!r}; the host has no file for it and the local factor store does not "
        "know it; local factors: {KNOWN}"
    )
    # PATH, REASON
    ERROR_FACTOR_FILE = "Local factor file is malformed {PATH}: {REASON}"
    # FACTOR
    ERROR_FACTOR_DATES = (
        "The dates of factor {FACTOR!r} differ from those of the factors already registered; the factors "
        "of one run must cover the same trading days"
    )
    # TARGETLEN, REGISTERED
    ERROR_FACTOR_TARGETS = (
        "The factor is registered for {TARGETLEN} targets, the factors registered before for {REGISTERED}"
    )

    __setattr__ = _chinese._Catalog.__setattr__
    keys = _chinese._Catalog.keys
    __contains__ = _chinese._Catalog.__contains__


text = _Catalog()

__all__ = ["text"]
