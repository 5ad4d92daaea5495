"""Converts a folder of pages to JBIG (or JBIG streams back to PNG or PBM) on a
local dask.distributed cluster of two worker processes that this example
starts and stops itself.

    /usr/bin/python3 examples/batch_dask.py PAGES_DIR OUT_DIR [--to jbg|png|pbm] [--layers N]

On a real cluster, start `dask scheduler` and `dask worker ADDRESS` on the
machines and call zeljbig.batch.convert(paths, out_dir, scheduler=ADDRESS).
"""
import argparse
import os
import sys

from distributed import Client, LocalCluster

from zeljbig import batch


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("pages", help="folder of input files")
    parser.add_argument("out", help="folder for the results (created if missing)")
    parser.add_argument("--to", choices=batch.TARGETS, default="jbg")
    parser.add_argument("--layers", type=int, default=0, help="differential layers when encoding")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    paths = sorted(os.path.join(args.pages, n) for n in os.listdir(args.pages)
                   if os.path.isfile(os.path.join(args.pages, n)))
    options = {"layers": args.layers} if args.to == "jbg" else {}
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        summary = batch.convert(paths, args.out, to=args.to, scheduler=client, **options)

    seconds = summary["seconds"]
    print(f"{summary['done']} of {len(paths)} files in {seconds:.2f} s on {args.workers} workers: "
          f"{summary['done'] / seconds:.1f} files/s, {summary['bytes_in'] / seconds / 1e6:.1f} MB/s in, "
          f"{summary['bytes_out']} bytes out")
    for path, reason in summary["failed"]:
        print(f"failed: {path}: {reason}", file=sys.stderr)
    return 1 if summary["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
