"""The benchmark's results table: a row's cells, ratios as the tables write them, and tables as
aligned text or markdown."""
from __future__ import annotations

from systems import Row


def fmt_ratio(value: float | None, estimated: bool = False) -> str:
    if value is None:
        return "-"
    return ("~" if estimated else "") + (f"{value:.0f}x" if value >= 100 else f"{value:.2f}x"
                                         if value < 10 else f"{value:.1f}x")


HEADER = ["kernel", "workload", "N", "links", "module ms", "baseline ms", "peer", "peer ms",
          "baseline/module", "peer/module", "near thr.", "check"]


def row_cells(r: Row) -> list[str]:
    return [r.kernel, r.workload, f"{r.n:,}", f"{r.links:,}", r.module.text(), r.baseline.text(),
            r.peer_name, r.peer.text(),
            fmt_ratio(r.ratio(r.baseline), r.baseline.estimated or r.module.estimated),
            fmt_ratio(r.ratio(r.peer), r.peer.estimated or r.module.estimated),
            "-" if r.near_threshold is None else str(r.near_threshold), r.check]


def text_table(header: list[str], rows: list[list[str]],
               right: tuple[int, ...] = (2, 3, 4, 5, 7, 8, 9, 10)) -> str:
    """Columns padded to their widest cell; the columns in `right` aligned to the right."""
    widths = [max(len(header[k]), *(len(r[k]) for r in rows)) if rows else len(header[k])
              for k in range(len(header))]
    line = lambda cells: "  ".join(c.rjust(w) if k in right else c.ljust(w)  # noqa: E731
                                   for k, (c, w) in enumerate(zip(cells, widths))).rstrip()
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(" --- " for _ in header) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)
