"""The broker of a back-test: takes orders, fills them on the strategy's bars, rolls main contracts.

Bar by bar (the runner calls it only when it has something to do):

- at a bar's open (``open_bar``): positions on a continuous code whose main
  contract changes that trading day are rolled; then open orders are filled:
  market orders at the bar's open (``fill="next_open"``), limit orders when
  the bar's range reaches the limit (at the limit, or at the open when the bar
  opens through it);
- market orders of ``fill="close"`` fill at the close of the bar they were
  placed at (``close_bar``, called at the next bar's start, before anything
  else, and after the last bar).

An order never fills on the bar it was placed at, except a market order with
``fill="close"``, which fills at that bar's close; so a fill never uses a bar
after the one it is attributed to. No order fills on a bar in which its
target did not trade (volume 0, a suspended day): it waits for the next one.
Data without volumes (a NaN volume) keeps its prices: a bar with a close
traded, as the windows and the combined bars count it.
Orders still open after the last bar are reported unfilled. A market order is
refused when it would buy at the day's limit-up price or sell at its limit-down
price (a limit order waits instead), when a stock sell exceeds the shares held
or those bought before today (T+1), when A-shares are bought in other than
whole lots (an odd lot is sold only to close the position), on an index, and
when it would raise exposure beyond the available cash or margin.
"""
import bisect
import math

import numpy as np

from telvar.run.orders import CANCELLED, FILLED, OPEN, REFUSED, UNFILLED, Order
from telvar.run.portfolio import PortfolioView

NEVER = 1 << 62


class Broker:
    def __init__(self, rules, prices, portfolio, first_pos, last_pos, fill="next_open", own_price=None):
        if fill not in ("next_open", "close"):
            raise ValueError("fill must be 'next_open' or 'close', got %r" % (fill,))
        self.rules, self.prices, self.portfolio = rules, prices, portfolio
        self.first_pos, self.last_pos, self.fill = first_pos, last_pos, fill
        self.own_price = own_price  # (contract key, pos) -> the contract's own price at that bar's open
        self.index_of = {r.key: t for t, r in enumerate(rules)}
        self.orders = []
        self.open = []  # open orders, oldest first
        self.trades = []
        self.loop_offset = 0  # run position of the driving loop's bar 0 (a chunk's first)
        self.next_event = NEVER  # the next bar whose open needs the broker
        self.close_pending = False  # market orders to fill at a bar's close
        self.accepting = False  # orders are taken while the runner calls on_bar
        self.clock = None  # the context whose current bar orders are placed at (the runner's)
        self._pos = first_pos
        self._rolls = {t: self._roll_schedule(r) for t, r in enumerate(rules) if r.kind == "continuous"}

    @property
    def next_event(self):
        """The next bar (a run position) whose open needs the broker; ``next_local`` is the same
        bar in the driving loop's positions, so that the loop compares without arithmetic."""
        return self._next_event

    @next_event.setter
    def next_event(self, pos):
        self._next_event = pos
        self.next_local = pos - self.loop_offset

    def follow(self, context):
        """Take orders at ``context``'s current bar; its bar positions are run positions less
        ``context.run_offset``."""
        self.accepting, self.clock, self.loop_offset = True, context, context.run_offset
        self.next_event = self._next_event

    @property
    def pos(self):
        """The current bar: the clock's (its position in the whole run) while the runner drives the strategy."""
        return self.clock.run_bar_pos if self.clock is not None else self._pos

    @pos.setter
    def pos(self, pos):
        self._pos = pos

    # --- rolls -------------------------------------------------------------------------------------
    def _roll_schedule(self, rules):
        """(positions, contracts): the first bar of each trading day whose main contract changed."""
        days = self.prices.bar_days[self.first_pos:self.last_pos + 1]
        if days.size == 0:
            return [], []
        starts = np.r_[0, np.flatnonzero(days[1:] != days[:-1]) + 1]
        positions, contracts, last = [], [], rules.contract_on(days[0])
        for s in starts[1:]:
            code = rules.contract_on(days[s])
            if code != last:
                positions.append(self.first_pos + int(s))
                contracts.append(code)
                last = code
        return positions, contracts

    def _next_roll(self, t, after):
        positions, _ = self._rolls.get(t, ((), ()))
        i = bisect.bisect_right(positions, after)
        return positions[i] if i < len(positions) else NEVER

    def _roll(self, t, pos):
        p = self.portfolio.positions[t]
        r, P = self.rules[t], self.prices
        new = r.contract_on(P.bar_days[pos])
        if new is None or new == p.contract:
            return
        market = r.key.split(".", 1)[0]
        old_price = self._contract_price(market, p.contract, pos, P.close[t, P.cols[pos - 1]])
        new_price = self._contract_price(market, new, pos, P.open[t, P.cols[pos]])
        q, m = p.quantity, r.multiplier
        fee_old = r.costs.commission(q, q * old_price * m)
        fee_new = r.costs.commission(q, q * new_price * m)
        old_contract = p.contract
        self.portfolio.roll(t, pos, old_price, new_price, fee_old + fee_new, new)
        self.trades.append((pos, r.key, old_contract, "sell" if q > 0 else "buy", abs(q), old_price, fee_old,
                            0.0, None, True))
        self.trades.append((pos, r.key, new, "buy" if q > 0 else "sell", abs(q), new_price, fee_new, 0.0,
                            None, True))

    def _contract_price(self, market, code, pos, fallback):
        price = math.nan
        if self.own_price is not None:
            price = self.own_price("%s.%s" % (market, code), pos)
        return float(price) if price is not None and math.isfinite(price) else float(fallback)

    # --- the bar loop ------------------------------------------------------------------------------
    def open_bar(self, pos):
        """Market orders waiting for the previous bar's close (``fill="close"``), then rolls, then
        fills at this bar's open or within its range."""
        self.prices.refresh()
        if self.close_pending and pos > self.first_pos:
            self.close_bar(pos - 1)
        for t in [t for t in self.portfolio.positions if t in self._rolls]:
            if pos in self._rolls[t][0]:
                self._roll(t, pos)
        for order in [o for o in self.open if not o.at_close and o.placed_pos < pos]:
            self._try_fill(order, pos, at_close=False)
        self._settle(pos)

    def close_bar(self, pos):
        """Market orders of ``fill="close"`` at bar ``pos``'s close. The runner asks for it at the
        next bar's start (nothing happens in between) and after the last bar."""
        for order in [o for o in self.open if o.at_close and o.placed_pos <= pos]:
            self._try_fill(order, pos, at_close=True)
        self.close_pending = any(o.at_close for o in self.open if o.status == OPEN)

    def _settle(self, pos):
        self.open = [o for o in self.open if o.status == OPEN]
        self.close_pending = any(o.at_close for o in self.open)
        nxt = pos + 1 if self.open else NEVER
        for t in self.portfolio.positions:
            if t in self._rolls:
                nxt = min(nxt, self._next_roll(t, pos))
        self.next_event = nxt

    def finish(self):
        """After the last bar: orders waiting for its close fill; others are reported unfilled."""
        if self.close_pending:
            self.close_bar(self.last_pos)
        self.open = [o for o in self.open if o.status == OPEN]
        for o in self.open:
            o.status, o.reason = UNFILLED, "the run ended before a bar could fill it"
        self.open = []
        self.next_event, self.close_pending, self.accepting = NEVER, False, False

    # --- fills ---------------------------------------------------------------------------------------
    def _fill_price(self, order, t, c, at_close):
        """The bar's price for the order, or None when this bar does not fill it."""
        P = self.prices
        if order.limit_price is None:
            return P.close[t, c] if at_close else P.open[t, c]
        limit, opened = order.limit_price, P.open[t, c]
        if order.quantity > 0:
            return opened if opened <= limit else (limit if P.low[t, c] <= limit else None)
        return opened if opened >= limit else (limit if P.high[t, c] >= limit else None)

    def _try_fill(self, order, pos, at_close):
        t, r, P = order.target, self.rules[order.target], self.prices
        c = P.cols[pos]
        volume = P.volume[t, c]
        if not (volume > 0 or volume != volume and math.isfinite(P.close[t, c])):
            return  # no trade in this bar: wait
        base = self._fill_price(order, t, c, at_close)
        if base is None or not math.isfinite(base):
            return
        day = int(P.bar_days[pos])
        qty, market = order.quantity, order.limit_price is None
        limits = r.limit_on(day)
        if limits is not None:
            half_tick = r.price_tick / 2
            if qty > 0 and base >= limits[0] - half_tick or qty < 0 and base <= limits[1] + half_tick:
                if market:
                    order.refuse("%s at the limit-%s price %g on %d" % (
                        "buy" if qty > 0 else "sell", "up" if qty > 0 else "down", base, day))
                return
        reason = self._rule_breach(t, r, qty, day)
        if r.kind == "continuous" and r.contract_on(day) is None:
            reason = "no main contract of %s is known on %d" % (r.key, day)
        if reason:
            order.refuse(reason)
            return
        price = r.costs.slipped(base, qty, r.price_tick) if market else base
        self._execute(order, t, r, pos, day, price, P.cols[pos] if at_close else P.cols[pos - 1])

    def _rule_breach(self, t, r, qty, day):
        if not r.is_stock:
            return None
        held = self.portfolio.quantity(t)
        if qty > 0:
            return None if qty % r.lot_size == 0 else "%s is bought in lots of %d, not %d" % (r.key, r.lot_size, qty)
        if -qty > held:
            return "no short selling of stocks: sells %d of %s, holds %d" % (-qty, r.key, held)
        if -qty % r.lot_size and -qty != held:
            return "odd lots of %s are sold only to close the position: sells %d, holds %d" % (r.key, -qty, held)
        sellable = self.portfolio.sellable(t, day)
        if -qty > sellable:
            return "T+1: %d of %s bought on %d cannot be sold before the next trading day (sells %d, may sell %d)" \
                % (held - sellable, r.key, day, -qty, sellable)
        return None

    def _execute(self, order, t, r, pos, day, price, mark_col):
        qty, pf = order.quantity, self.portfolio
        contract = r.contract_on(day)
        value = qty * price * r.multiplier
        commission, tax = r.costs.commission(qty, value), r.costs.tax(qty, value, r.is_stock)
        q0 = pf.quantity(t)
        reduces_only = q0 != 0 and (q0 > 0) != (qty > 0) and abs(qty) <= abs(q0)
        saved = pf.save(t)
        pf.fill(t, pos, day, qty, price, commission, tax, contract)
        if not reduces_only:
            close = self.prices.close
            available = pf.marks(lambda u: price if u == t else close[u, mark_col])[3]
            if available < -1e-6:
                pf.restore(saved)
                order.refuse("not enough %s: %s %+d at %g needs %.2f more" % (
                    "margin" if r.margined else "cash", r.key, qty, price, -available))
                return
        order.status, order.fill_pos, order.fill_price, order.contract = FILLED, pos, price, contract
        self.trades.append((pos, r.key, contract, order.side, abs(qty), price, commission, tax,
                            order.order_id, False))

    # --- orders (called through the context) ------------------------------------------------------
    def target_index(self, target):
        from telvar.kestrum.ufuncs import todotmc

        if isinstance(target, (int, np.integer)) and not isinstance(target, bool):
            if not 0 <= target < len(self.rules):
                raise IndexError("target index %d is out of range (%d targets)" % (target, len(self.rules)))
            return int(target)
        try:
            key = todotmc(target)
        except Exception:
            raise TypeError("a target is a record {'Market', 'Code'}, a 'MARKET.CODE' name or a target "
                            "index, got %r" % (target,)) from None
        if isinstance(key, list) or key not in self.index_of:
            raise ValueError("%r is not a target of this run: orders trade the run's targets" % (target,))
        return self.index_of[key]

    def place(self, target, quantity, limit_price=None):
        if not self.accepting:
            raise RuntimeError("orders are placed from on_bar while runner.run drives the strategy")
        t = self.target_index(target)
        if isinstance(quantity, bool) or not isinstance(quantity, (int, float, np.integer, np.floating)) \
                or not math.isfinite(quantity) or quantity != int(quantity) or quantity == 0:
            raise ValueError("quantity must be a whole non-zero number of units, got %r" % (quantity,))
        if limit_price is not None and (isinstance(limit_price, bool) or not isinstance(
                limit_price, (int, float, np.integer, np.floating)) or not limit_price > 0
                or not math.isfinite(limit_price)):
            raise ValueError("limit_price must be a positive price or None, got %r" % (limit_price,))
        r = self.rules[t]
        at_close = limit_price is None and self.fill == "close"
        order = Order(len(self.orders) + 1, t, r.key, int(quantity),
                      None if limit_price is None else float(limit_price), self.pos, at_close)
        self.orders.append(order)
        if not r.tradable:
            order.refuse("%s is an %s and cannot be traded" % (r.key, r.kind or "unknown kind"))
            return order.order_id
        self.open.append(order)
        self.close_pending = self.close_pending or at_close
        # the runner calls open_bar at the next bar, which first fills what waits for this bar's close
        self.next_event = min(self.next_event, self.pos + 1)
        return order.order_id

    def cancel(self, order_id):
        """Cancel an open order; True when it was open."""
        for o in self.open:
            if o.order_id == order_id:
                o.status = CANCELLED
                self.open.remove(o)
                return True
        return False

    def _pending(self, t):
        return sum(o.quantity for o in self.open if o.target == t)

    def _price_now(self, t):
        return float(self.prices.close[t, self.prices.cols[self.pos]])

    def _refused_now(self, t, reason):
        order = Order(len(self.orders) + 1, t, self.rules[t].key, 0, None, self.pos, False)
        order.status, order.reason = REFUSED, reason
        self.orders.append(order)
        return order.order_id

    def order_target(self, target, position):
        """Order the difference to ``position``, counting open orders as filled; None when none is needed."""
        t = self.target_index(target)
        delta = position - self.portfolio.quantity(t) - self._pending(t)
        return self.place(t, delta) if delta else None

    def order_target_value(self, target, value):
        """Hold about ``value`` of the target (rounded toward zero to whole lots) at the current close."""
        t = self.target_index(target)
        r, price = self.rules[t], self._price_now(t)
        if not (math.isfinite(price) and price > 0):
            if not self.accepting:
                raise RuntimeError("orders are placed from on_bar while runner.run drives the strategy")
            return self._refused_now(t, "no price for %s yet" % r.key)
        lots = math.trunc(value / (price * r.multiplier) / r.lot_size)
        return self.order_target(t, lots * r.lot_size)

    def order_target_percent(self, target, fraction):
        """Hold about ``fraction`` of the equity in the target (see ``order_target_value``)."""
        return self.order_target_value(target, fraction * self.view().equity)

    def view(self):
        close, col = self.prices.close, self.prices.cols[self.pos]
        return PortfolioView(self.portfolio, lambda t: float(close[t, col]))


__all__ = ["Broker", "NEVER"]
