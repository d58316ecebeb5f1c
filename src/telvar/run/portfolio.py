"""Cash, positions and round trips of a back-test, changed by fills and rolls.

Accounting: a stock buy pays its value from cash; a futures position pays
nothing but costs when opened, its profit moves cash when it is closed (or
rolled) and, while open, counts in equity as unrealised profit. So

    equity    = cash + stocks at their close + futures' unrealised profit
    margin    = |quantity| x multiplier x close x margin ratio, over futures
    available = cash + futures' unrealised profit - margin

A position's ``market_value`` is its signed notional, quantity x close x
multiplier. With ``book = cash - sum over futures of quantity x multiplier x
average cost`` equity is ``book + sum of quantity x multiplier x close`` over
all positions, which is how the equity curve is computed for every bar at
the end from the recorded changes (``events``).

A round trip runs from a target's position leaving zero to its return to zero
(a reversal closes one and opens the next); its profit is the realised profit
less the costs of its fills, rolls included.
"""
import math
from collections import namedtuple

PositionView = namedtuple("PositionView", "target contract quantity avg_cost price market_value unrealised margin")
RoundTrip = namedtuple("RoundTrip", "target start_pos end_pos profit")
# one change of a target's position, recorded after it: the equity curve is rebuilt from these
Event = namedtuple("Event", "pos target quantity avg_cost contract cash book")


class Position:
    __slots__ = ("target", "rules", "contract", "quantity", "avg_cost", "bought_day", "bought_today",
                 "trip_start", "trip_profit")

    def __init__(self, target, rules, contract):
        self.target, self.rules, self.contract = target, rules, contract
        self.quantity, self.avg_cost = 0, 0.0
        self.bought_day, self.bought_today = 0, 0
        self.trip_start, self.trip_profit = -1, 0.0


class Portfolio:
    def __init__(self, capital, rules):
        if isinstance(capital, bool) or not isinstance(capital, (int, float)) or not capital > 0 \
                or not math.isfinite(capital):
            raise ValueError("capital must be a positive number, got %r" % (capital,))
        self.capital = float(capital)
        self.cash = self.book = self.capital
        self.rules = rules
        self.positions = {}  # target index -> Position, while not flat
        self.events = []
        self.round_trips = []
        self.commission = self.tax = self.traded_value = 0.0

    # --- changes -------------------------------------------------------------------------------------
    def _position(self, t, contract):
        p = self.positions.get(t)
        if p is None:
            p = self.positions[t] = Position(t, self.rules[t], contract)
        return p

    def _moved(self, p, pos, dcash, cost_before):
        """Book the cash change and the new cost basis; record the event; drop a flat position."""
        self.cash += dcash
        if p.rules.margined:
            self.book += dcash - p.rules.multiplier * (p.quantity * p.avg_cost - cost_before)
        else:
            self.book += dcash
        self.events.append(Event(pos, p.target, p.quantity, p.avg_cost, p.contract, self.cash, self.book))
        if p.quantity == 0:
            del self.positions[p.target]

    def fill(self, t, pos, day, quantity, price, commission, tax, contract):
        """Apply one fill; returns its realised profit."""
        p = self._position(t, contract)
        r, m = p.rules, p.rules.multiplier
        q0, a0 = p.quantity, p.avg_cost
        q1 = q0 + quantity
        closing = q0 != 0 and (q0 > 0) != (quantity > 0)
        closed = min(abs(quantity), abs(q0)) * (1 if q0 > 0 else -1) if closing else 0
        realised = closed * m * (price - a0)
        if q1 == 0:
            a1 = 0.0
        elif q0 == 0 or (q0 > 0) != (q1 > 0):
            a1 = float(price)
        elif abs(q1) > abs(q0):
            a1 = (q0 * a0 + quantity * price) / q1
        else:
            a1 = a0
        fees = commission + tax
        value = quantity * price * m
        dcash = realised - fees if r.margined else -value - fees
        p.quantity, p.avg_cost, p.contract = q1, a1, contract
        if quantity > 0 and r.t_plus_one:
            p.bought_today = p.bought_today + quantity if p.bought_day == day else quantity
            p.bought_day = day
        self._trip(p, pos, q0, q1, quantity, realised, fees)
        self.commission += commission
        self.tax += tax
        self.traded_value += abs(value)
        self._moved(p, pos, dcash, q0 * a0)
        return realised

    def _trip(self, p, pos, q0, q1, quantity, realised, fees):
        if q0 == 0:
            p.trip_start, p.trip_profit = pos, -fees
            return
        flipped = q1 != 0 and (q0 > 0) != (q1 > 0)
        share = abs(q0) / abs(quantity) if flipped else 1.0  # the costs of the closing part
        p.trip_profit += realised - fees * share
        if q1 == 0 or flipped:
            self.round_trips.append(RoundTrip(p.rules.key, p.trip_start, pos, p.trip_profit))
            p.trip_start, p.trip_profit = pos, -fees * (1.0 - share)

    def roll(self, t, pos, old_price, new_price, fees, new_contract):
        """Move target t's position to ``new_contract``: closed at ``old_price``, opened at ``new_price``."""
        p = self.positions[t]
        m = p.rules.multiplier
        cost_before = p.quantity * p.avg_cost
        realised = p.quantity * m * (old_price - p.avg_cost)
        p.avg_cost, p.contract = float(new_price), new_contract
        p.trip_profit += realised - fees
        self.commission += fees
        self.traded_value += abs(p.quantity) * m * (abs(old_price) + abs(new_price))
        self._moved(p, pos, realised - fees, cost_before)
        return realised

    def save(self, t):
        """What ``restore`` needs to undo one fill of target t."""
        p = self.positions.get(t)
        state = None if p is None else tuple(getattr(p, s) for s in Position.__slots__)
        return (t, state, self.cash, self.book, len(self.events), len(self.round_trips),
                self.commission, self.tax, self.traded_value)

    def restore(self, saved):
        t, state, self.cash, self.book, n_events, n_trips, self.commission, self.tax, self.traded_value = saved
        del self.events[n_events:]
        del self.round_trips[n_trips:]
        if state is None:
            self.positions.pop(t, None)
        else:
            p = self.positions.get(t) or Position(t, self.rules[t], None)
            for slot, value in zip(Position.__slots__, state):
                setattr(p, slot, value)
            self.positions[t] = p

    # --- reads ---------------------------------------------------------------------------------------
    def sellable(self, t, day):
        """Units of target t that may be sold on ``day`` (T+1: not those bought that day)."""
        p = self.positions.get(t)
        if p is None or p.quantity <= 0:
            return 0
        return p.quantity - (p.bought_today if p.rules.t_plus_one and p.bought_day == day else 0)

    def quantity(self, t):
        p = self.positions.get(t)
        return 0 if p is None else p.quantity

    def marks(self, price_of):
        """(equity, market value, margin, available) with ``price_of(t)`` the price of target t."""
        stocks = unrealised = market_value = margin = 0.0
        for t, p in self.positions.items():
            r, price = p.rules, price_of(t)
            value = p.quantity * r.multiplier * price
            market_value += value
            if r.margined:
                unrealised += value - p.quantity * r.multiplier * p.avg_cost
                margin += abs(value) * r.margin_ratio
            else:
                stocks += value
        return (self.cash + stocks + unrealised, market_value, margin, self.cash + unrealised - margin)

    def position_views(self, price_of):
        out = {}
        for t, p in self.positions.items():
            r, price = p.rules, price_of(t)
            value = p.quantity * r.multiplier * price
            out[r.key] = PositionView(r.key, p.contract, p.quantity, p.avg_cost, price, value,
                                      value - p.quantity * r.multiplier * p.avg_cost,
                                      abs(value) * r.margin_ratio if r.margined else 0.0)
        return out


class PortfolioView:
    """The portfolio as the strategy reads it, marked at the current bar's close.

    ``cash``, ``equity``, ``market_value`` (signed notional of the positions),
    ``margin`` (held by futures), ``available`` (what new positions may use),
    ``positions``: {target key: PositionView(target, contract, quantity,
    avg_cost, price, market_value, unrealised, margin)} of the targets held.
    """

    def __init__(self, portfolio, price_of):
        self.cash = portfolio.cash
        self.equity, self.market_value, self.margin, self.available = portfolio.marks(price_of)
        self.positions = portfolio.position_views(price_of)

    def __repr__(self):
        return "Portfolio(cash=%.2f, equity=%.2f, %d positions)" % (self.cash, self.equity, len(self.positions))


__all__ = ["Portfolio", "PortfolioView", "PositionView", "RoundTrip", "Event"]
