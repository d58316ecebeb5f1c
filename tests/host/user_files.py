"""A user's files for the importer, and reading back what it stored."""
import duckdb


def write_file(path, lines):
    """Write ``lines`` (a list of lines, or one text) to ``path`` as a UTF-8 file; returns the path."""
    text = lines.strip() if isinstance(lines, str) else "\n".join(lines)
    path.write_text(text + "\n", encoding="utf-8")
    return path


def rows(store, sql):
    """The rows ``sql`` selects from the store file ``store``."""
    con = duckdb.connect(str(store), read_only=True)
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def written_before_trading_rules(store):
    """Make ``store`` one written before the trading rules: no margin or lot columns, no costs or limits."""
    con = duckdb.connect(str(store))
    try:
        con.execute("ALTER TABLE instruments DROP COLUMN margin_ratio")
        con.execute("ALTER TABLE instruments DROP COLUMN lot_size")
        con.execute("DROP TABLE costs")
        con.execute("DROP TABLE limits")
    finally:
        con.close()
