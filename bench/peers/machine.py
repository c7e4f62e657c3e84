"""What the numbers were measured on: CPU, cores, memory, library versions."""

import os
import platform

from . import libraries


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def memory_gib():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return round(int(line.split()[1]) / 1024 / 1024, 1)
    except (OSError, ValueError):
        pass
    return None


def describe():
    import numpy as np

    flags = libraries.cpu_flags()
    return {
        "cpu": cpu_model(),
        "logical_cpus": os.cpu_count(),
        "affinity_cpus": len(os.sched_getaffinity(0)),
        "memory_gib": memory_gib(),
        "avx2": "avx2" in flags,
        "fma": "fma" in flags,
        "avx512f": "avx512f" in flags,
        "kernel": platform.release(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "versions": {lib: libraries.package_version(dist) for lib, dist in libraries.DISTS.items()},
        "load_avg": os.getloadavg(),
    }


def one_line(info):
    simd = "+".join(f for f in ("avx2", "fma", "avx512f") if info.get(f)) or "no avx2"
    return (f"{info['cpu']}; {info['logical_cpus']} logical CPUs (affinity {info['affinity_cpus']}); "
            f"{info['memory_gib']} GiB; {simd}; Linux {info['kernel']}; Python {info['python']}; "
            f"NumPy {info['numpy']}")
