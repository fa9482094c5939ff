"""Draws the scaling curve of results.json into bench/scaling.png (matplotlib),
or bench/scaling.svg when matplotlib is not there. Prints the file written."""
import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def series(res):
    sc = res["dashboard"]["scaling"]
    rows = [r["rows"] for r in sc]
    return (rows, [r["module_ns"] / 1e3 for r in sc], [r["hand_ns"] / 1e3 for r in sc],
            [r["module_peak_bytes_per_row"] for r in sc], [r["hand_peak_bytes_per_row"] for r in sc],
            [r["module_group_bytes_per_row"] for r in sc])


def with_matplotlib(res):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows, mt, ht, mp, hp, mg = series(res)
    fig, (a1, a2) = plt.subplots(1, 2, figsize=(11, 4.2))
    a1.loglog(rows, mt, "o-", label="OrvanDeck")
    a1.loglog(rows, ht, "s--", label="hand-written Python")
    a1.set_xlabel("rows (one table, 5 columns)")
    a1.set_ylabel("µs per CUF_DisplayMulti (one refresh)")
    a1.set_title("Refresh time")
    a1.grid(True, which="both", alpha=0.3)
    a1.legend()
    a2.semilogx(rows, mp, "o-", label="peak, OrvanDeck")
    a2.semilogx(rows, hp, "s--", label="peak, hand-written")
    a2.semilogx(rows, mg, "^:", label="kept by the group, OrvanDeck")
    a2.set_xlabel("rows")
    a2.set_ylabel("bytes per row (tracemalloc)")
    a2.set_title("Memory per row of one composition")
    a2.grid(True, which="both", alpha=0.3)
    a2.legend()
    m = res["meta"]
    fig.suptitle(f"Python {m['python']}, rich {m['rich']}, {m['date']}", fontsize=9)
    fig.tight_layout()
    path = os.path.join(HERE, "scaling.png")
    fig.savefig(path, dpi=110)
    return path


def with_svg(res):
    # Log-log time curve only, drawn by hand.
    rows, mt, ht = series(res)[:3]
    W, H, P = 640, 400, 60
    lx = [math.log10(r) for r in rows]
    ly = [math.log10(v) for v in mt + ht]
    x0, x1, y0, y1 = min(lx), max(lx), min(ly), max(ly)

    def pt(r, v):
        x = P + (math.log10(r) - x0) / (x1 - x0 or 1) * (W - 2 * P)
        y = H - P - (math.log10(v) - y0) / (y1 - y0 or 1) * (H - 2 * P)
        return f"{x:.1f},{y:.1f}"
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{W}" height="{H}" font-family="sans-serif" font-size="12">',
           f'<rect width="{W}" height="{H}" fill="white"/>',
           f'<line x1="{P}" y1="{H - P}" x2="{W - P}" y2="{H - P}" stroke="black"/>',
           f'<line x1="{P}" y1="{P}" x2="{P}" y2="{H - P}" stroke="black"/>',
           f'<text x="{W / 2}" y="{H - 20}" text-anchor="middle">rows (log), {rows[0]} to {rows[-1]}</text>',
           f'<text x="15" y="{H / 2}" transform="rotate(-90 15 {H / 2})" text-anchor="middle">'
           f'µs per refresh (log), {10 ** y0:.0f} to {10 ** y1:.0f}</text>']
    for vals, colour, name, dy in ((mt, "#1f77b4", "OrvanDeck", 0), (ht, "#ff7f0e", "hand-written Python", 16)):
        out.append(f'<polyline fill="none" stroke="{colour}" stroke-width="2" points="'
                   + " ".join(pt(r, v) for r, v in zip(rows, vals)) + '"/>')
        out.append(f'<text x="{P + 10}" y="{P + dy}" fill="{colour}">{name}</text>')
    out.append("</svg>")
    path = os.path.join(HERE, "scaling.svg")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    return path


def main():
    with open(sys.argv[1]) as f:
        res = json.load(f)
    try:
        path = with_matplotlib(res)
    except ImportError:
        path = with_svg(res)
    print(path)


if __name__ == "__main__":
    main()
