"""Orders of a back-test and their life: open, then filled, cancelled, refused or unfilled."""

OPEN, FILLED, CANCELLED, REFUSED, UNFILLED = "open", "filled", "cancelled", "refused", "unfilled"


class Order:
    """One order: ``quantity`` signed (positive buys), ``limit_price`` None for a market order.

    ``placed_pos`` is the bar it was placed at; once filled, ``fill_pos``,
    ``fill_price`` and ``contract`` tell where; a refused order has a ``reason``.
    """

    __slots__ = ("order_id", "target", "key", "quantity", "limit_price", "placed_pos", "status", "reason",
                 "fill_pos", "fill_price", "contract", "at_close")

    def __init__(self, order_id, target, key, quantity, limit_price, placed_pos, at_close):
        self.order_id, self.target, self.key = order_id, target, key
        self.quantity, self.limit_price, self.placed_pos = quantity, limit_price, placed_pos
        self.status, self.reason = OPEN, None
        self.fill_pos = self.fill_price = self.contract = None
        self.at_close = at_close  # a market order filled at a bar's close (fill="close")

    @property
    def is_open(self):
        return self.status == OPEN

    @property
    def side(self):
        return "buy" if self.quantity > 0 else "sell"

    def refuse(self, reason):
        self.status, self.reason = REFUSED, reason

    def __repr__(self):
        kind = "limit %g" % self.limit_price if self.limit_price is not None else "market"
        return "Order(%d, %s %+g %s, %s%s)" % (self.order_id, self.key, self.quantity, kind, self.status,
                                               ": " + self.reason if self.reason else "")


__all__ = ["Order", "OPEN", "FILLED", "CANCELLED", "REFUSED", "UNFILLED"]
