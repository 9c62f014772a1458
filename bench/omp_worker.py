"""Times the narrow or the broad phase of the OpenMP build in a process of its own, so that
OMP_NUM_THREADS (set by the caller) sizes its thread team. Prints one JSON line: median ms, runs,
and whether the result (narrow) or the widened boxes and link tables (broad) equal the
reference bit for bit.

Usage: python omp_worker.py BUILD_DIR WORKLOAD.npz REPEAT [narrow|broad]
"""
import importlib.util
import json
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare  # noqa: E402
from workloads import CellRecords, LinkTables, Workload  # noqa: E402


def load_module(build_dir: Path, name: str = "cellprox_gnu"):
    paths = sorted(build_dir.glob(f"{name}.*.so")) + sorted(build_dir.glob(f"{name}.*.pyd"))
    if not paths:
        raise SystemExit(f"no {name} module in {build_dir}")
    spec = importlib.util.spec_from_file_location(name, paths[0])
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def reference_tables(d) -> LinkTables:
    tables = LinkTables(d["bbox"])   # the widened boxes
    tables.links[:] = d["links"]
    tables.link_starts[:] = d["link_starts"]
    tables.link_count[:] = d["link_count"]
    tables.n_links = int(d["n_links"])
    return tables


def timed(prepare, call, repeat: int) -> tuple[object, list[float]]:
    """The first call's result (it also warms the thread team up) and the next calls' times."""
    result = call(prepare())
    times = []
    for _ in range(repeat):
        inputs = prepare()
        start = time.perf_counter()
        call(inputs)
        times.append((time.perf_counter() - start) * 1000)
    return result, times


def main() -> None:
    build_dir, data_path, repeat = Path(sys.argv[1]), Path(sys.argv[2]), int(sys.argv[3])
    phase = sys.argv[4] if len(sys.argv) > 4 else "narrow"
    module = load_module(build_dir)
    d = np.load(data_path)
    w = Workload("voronoi", len(d["v_count"]), d["vertices"], d["v_start"], d["v_count"],
                 d["edges"], d["e_start"], d["e_count"], d["origins"], d["collections"],
                 d["corners"], float(d["threshold"]))
    tables = reference_tables(d)
    if phase == "broad":
        got, times = timed(lambda: LinkTables(w.corners),
                           lambda t: t.run(module.get_bb_intersections), repeat)
        equal = not compare.table_differences(got, tables)
    else:
        records = CellRecords(w, tables)
        result, times = timed(lambda: None, lambda _: module.generate_neighbors(
            records.address, w.n, tables.n_links, w.threshold, 0), repeat)
        expected = d["expected"]
        equal = result.shape == expected.shape and bool(
            (result.view(np.uint32) == expected.view(np.uint32)).all())
    print(json.dumps({"ms": statistics.median(times), "runs": repeat, "equal": equal,
                      "module": str(module.__file__)}))


if __name__ == "__main__":
    main()
