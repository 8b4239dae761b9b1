"""Memory of one-shot scrapes of a VM whose shared-memory objects are as large as they come.

Objects of 64 MiB (4 MiB with --short): a /vmc.vm.N document of members other than the one read,
beside the "item" document or inside it (the VDC is found, the rest is not kept as a tree), and a
devices object of the shortest valid block record (the first 256 become samples, the others are
counted in one warning). The daemon's peak resident set is read by time(1), which counts the
daemon alone. Run as root:

    /usr/bin/python3 bench/largest_objects.py [BUILD_DIR] [--short]
"""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402


def main():
    args = bench_util.parse_args(__doc__.splitlines()[0])
    bench_util.use_build(args.build_dir)
    bench_util.enter_namespaces()
    import fixture as fx
    import simhost

    size = (4 if args.short else 64) << 20
    record = b"block9:0 nvme 1/2 0/0 0/0 0/0\n"
    found = (b'tarn_vm_bhyve_cpu_vm_rss{vm_id="2",vdc_id="7",', 1)
    # (what, object, head, filler, tail, what the scrape holds how often)
    cases = [("vmc, padding beside the item", "vmc.vm.2", b'{"item": "{\\"vdc\\": 7}", "pad": [',
              b"0,", b"0]}", found),
             ("vmc, padding in the item", "vmc.vm.2", b'{"item": "{\\"vdc\\": 7, \\"pad\\": [',
              b"0,", b'0]}"}', found),
             ("devices, minimal block records", "bhyve.vm.2.devices", b"", record, b"",
              (b"\ntarn_vm_virtio_blk_read_iops_total{", 256))]
    print(f"peak resident set of one-shot scrapes with a {size >> 20} MiB object:")
    for what, name, head, filler, tail, (text, count) in cases:
        with simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host, \
                tempfile.NamedTemporaryFile() as peak:
            host.add_vm(2, vmc=b'{"item": "{\\"vdc\\": 7}"}')
            data = head + filler * ((size - len(head) - len(tail)) // len(filler)) + tail
            host.write_shm(name, data + b"\0" * (size - len(data)) * (filler == record))
            proc = fx.dump(wrapper=("/usr/bin/time", "-f", "%M", "-o", peak.name))
            peak_kib = int(peak.read().split()[-1])
        if proc.returncode != 0 or proc.stdout.count(text) != count:
            sys.exit(f"{what}: the scrape is not as expected; log:\n{proc.stderr.decode()[-2000:]}")
        print(f"  {what:34} {peak_kib / 1024:7.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
