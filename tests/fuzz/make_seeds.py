"""Writes the fuzz targets' seed corpora (tests/fuzz/corpus/TARGET/) from the simulated host's
fixture texts and the shapes the other tests use. Run it again when the fixtures change; the
corpora are committed so that a fuzz run needs nothing but this tree."""
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))
import simhost  # noqa: E402

CORPUS = os.path.join(HERE, "corpus")


def texts_of_vms():
    for vm_id, kwargs in ((1, {}), (3, {"sockets": 2, "cores": 4, "threads": 2}),
                          (17, {"blocks": [(0, [(1, 2), (3, 4), (5, 6), (7, 8)], "nvme")],
                                "nets": [(1, [(1, 2), (3, 4), (5, 6), (7, 8)], "nettap")]})):
        yield simhost.standard_vm_texts(vm_id, **kwargs)


def seeds():
    vms = list(texts_of_vms())
    out = {
        "get_all_fuzz": [t["get_all"] for t in vms] + [
            "cpu_topology: sockets=0, cores=1, threads=1, maxcpus=1\n",
            "cpu_topology:\tsockets=65536, cores=65536, threads=1, maxcpus=1\r\n"
            "Resident memory 18446744073709551616\r\n"],
        "vcpu_class_fuzz": [t["vcpu_class"] for t in vms] + ["vcpu_class=123", " vcpu_class=1"],
        "get_stats_fuzz": [t["stats"] for t in vms] + [
            "vcpu total runtime\n\n 5\nnumber of ticks vcpu was idle 99999999999999999999\n"],
        "rctl_fuzz": [t["rctl"] for t in vms] + ["memoryuse=1\r\nPcpu=2\npcpu=3 \n"],
        "vdc_document_fuzz": [t["vmc"] for t in vms] + [
            simhost.vmc_document(7) + b"\0garbage", b'{"item": "{\\"vdc\\": 1e300}"}',
            b'{"item": "{\\"vdc\\": true}"}', b'{"item": 5}', b"[]"],
        "devices_fuzz": [t["devices"] for t in vms] + [
            b"block9:0 virtio-blk 1/2 3/4 5/6 7/8\0\0\0net4:1 virtio-net 1/2 3/4 5/6 7/8\0",
            b"block99999999999:0 nvme 1/2 3/4 5/6 7/8\n"],
        "vm_number_fuzz": [
            "bhyve: 12", "bhyve:\t7\n", "bhyve: 99999999999",
            "/usr/sbin/bhyve -c cpus=4,sockets=1,cores=4,threads=1 -m 4G -H 12",
            "/usr/sbin/bhyve -c 2 -m 1024M -H 7", "/usr/sbin/bhyve -c 2 -m 1G\n-H 7 ",
            "/usr/sbin/bhyvectl --vm=3 --get-stats"],
        "http_request_fuzz": [
            b"GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n", b"GET /metrics?x=1 HTTP/1.0\r\n\r\n",
            b"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", b"get /metrics\r\n\r\n",
            b"GET /Metrics/ HTTP/1.1\r\n\r\n", b"GET\r\n\r\n", b"HEAD / HTTP/1.1\n\n"],
        "prometheus_value_fuzz": [b"100", b"0.5", b"-3", b"1e308", b"nan", b"inf", b"x", b"",
                                  b"  7", b"18446744073709551616", b"0x10"],
    }
    with open(os.path.join(HERE, "..", "..", "packaging", "tarn-node.conf.sample"), "rb") as f:
        sample = f.read()
    out["config_fuzz"] = [sample, b"[main]\ninterval = 0x1e\nlog_level = debug\n",
                          b"[influx]\nenabled = true\nport = 15s\n", b"[prometheus\nx\n"]
    return out


def main():
    for target, items in seeds().items():
        directory = os.path.join(CORPUS, target)
        os.makedirs(directory, exist_ok=True)
        for item in items:
            data = item.encode() if isinstance(item, str) else item
            name = hashlib.sha1(data).hexdigest()[:16]
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
        print(f"{target}: {len(os.listdir(directory))} seeds")


if __name__ == "__main__":
    main()
