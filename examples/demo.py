"""Index real data found on this machine and answer questions about it.

Two data sets, both read at run time:
  * the Debian package database (/var/lib/dpkg/status): one object per installed package, with
    its maintainer as a shared nested object;
  * the Python standard library's source files: one object per .py file.
Each query is answered by the index and checked against the list comprehension a user would
otherwise write.
"""

from __future__ import annotations

import os
import sysconfig
import time
from pathlib import Path

import Vantorelle
from Vantorelle import Index, Indexable


class Maintainer(Indexable):
    pass


class Package(Indexable):
    pass


class SourceFile(Indexable):
    pass


def read_dpkg_status(path: Path) -> list[dict[str, str]]:
    records, current, key = [], {}, None
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        if not line:
            if current:
                records.append(current)
            current, key = {}, None
        elif line[0] in " \t":
            if key:
                current[key] += "\n" + line.strip()
        elif ":" in line:
            key, _, value = line.partition(":")
            current[key] = value.strip()
    if current:
        records.append(current)
    return records


def load_packages() -> list[Package]:
    status = Path("/var/lib/dpkg/status")
    if not status.exists():
        return []
    maintainers: dict[str, Maintainer] = {}
    packages = []
    for record in read_dpkg_status(status):
        if "Package" not in record:
            continue
        who = record.get("Maintainer", "unknown <unknown@unknown>")
        name, _, email = who.partition("<")
        email = email.rstrip(">")
        if who not in maintainers:
            maintainers[who] = Maintainer(name=name.strip(), email=email, domain=email.partition("@")[2])
        packages.append(
            Package(
                name=record["Package"],
                section=record.get("Section", "unknown"),
                priority=record.get("Priority", "unknown"),
                arch=record.get("Architecture", "unknown"),
                installed_kb=int(record.get("Installed-Size", "0") or 0),
                essential=record.get("Essential") == "yes",
                maintainer=maintainers[who],
            )
        )
    return packages


def load_sources() -> list[SourceFile]:
    root = Path(sysconfig.get_paths()["stdlib"])
    files = []
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        try:
            text = path.read_bytes()
        except OSError:
            continue
        relative = path.relative_to(root)
        files.append(
            SourceFile(
                path=str(relative),
                top=relative.parts[0].removesuffix(".py"),
                is_test="test" in relative.parts[0],
                lines=text.count(b"\n"),
                size_kb=len(text) // 1024,
            )
        )
    return files


def check(title: str, found: list, expected: list) -> None:
    status = "ok" if found == expected else "MISMATCH"
    print(f"  {title:<58} {len(found):>6} objects  [{status}]")
    if found != expected:
        raise SystemExit(f"index answer differs from the list comprehension for: {title}")


def timed(label: str, fn):
    start = time.perf_counter()
    result = fn()
    print(f"  {label:<58} {1000 * (time.perf_counter() - start):8.2f} ms")
    return result


def main() -> None:
    print(f"Vantorelle demo ({Vantorelle.__name__}, Python {sysconfig.get_python_version()})\n")

    packages = load_packages()
    if packages:
        print(f"Debian packages: {len(packages)} installed")
        index = Index()
        timed("index every package", lambda: index.add_object_many(packages))
        by_id = index.collect()  # ascending id: creation order

        check("section == 'libs'", index.get_by_attribute(section="libs"),
              [p for p in by_id if p.section == "libs"])
        check("priority required or important, arch amd64",
              index.get_by_attribute(priority=["required", "important"], arch="amd64"),
              [p for p in by_id if p.priority in ("required", "important") and p.arch == "amd64"])
        check("essential packages", index.get_by_attribute(essential=True), [p for p in by_id if p.essential])
        biggest = max(packages, key=lambda p: p.installed_kb)
        print(f"  largest package: {biggest.name} ({biggest.installed_kb} kB), "
              f"maintained by {biggest.maintainer.name}")
        check("packages of the same maintainer (nested object as value)",
              index.get_by_attribute(maintainer=biggest.maintainer),
              [p for p in by_id if p.maintainer is biggest.maintainer])

        # Assignments re-index at once.
        victim = index.get_by_attribute(section="libs")[0] if index.get_by_attribute(section="libs") else by_id[0]
        victim.section = "demo-moved"
        check("after moving one package to section 'demo-moved'",
              index.get_by_attribute(section="demo-moved"), [victim])
        check("section == 'libs' no longer lists it", index.get_by_attribute(section="libs"),
              [p for p in by_id if p.section == "libs"])
        print()

    sources = load_sources()
    print(f"Standard library sources: {len(sources)} files under {sysconfig.get_paths()['stdlib']}")
    files = Index()
    timed("index every file", lambda: files.add_object_many(sources))
    all_files = files.collect()
    check("files of package 'asyncio'", files.get_by_attribute(top="asyncio"),
          [f for f in all_files if f.top == "asyncio"])
    check("non-test files of 'json', 'email' or 'xml'",
          files.get_by_attribute(top=["json", "email", "xml"], is_test=False),
          [f for f in all_files if f.top in ("json", "email", "xml") and not f.is_test])
    check("empty files (0 lines)", files.get_by_attribute(lines=0), [f for f in all_files if f.lines == 0])

    files.reduce(is_test=False)
    check("after reduce(is_test=False): test files are gone from filters",
          files.get_by_attribute(is_test=True), [])
    check("... while collect() still returns every file", files.collect(), all_files)

    print("\nScaling up: 200,000 synthetic orders over 2,000 customers")
    customers = [Indexable(name=f"customer-{i}", country=["FR", "DE", "IT", "ES"][i % 4]) for i in range(2000)]
    orders = timed("create 200,000 orders", lambda: [
        Indexable(order_id=i, status=["open", "paid", "shipped", "returned"][i % 4], amount=(i * 37) % 1000,
                  customer=customers[i % 2000]) for i in range(200_000)])
    shop = Index()
    timed("add_object_many(orders)", lambda: shop.add_object_many(orders))
    paid = timed("get_by_attribute(status='paid', amount=[1, 2, 3])",
                 lambda: shop.get_by_attribute(status="paid", amount=[1, 2, 3]))
    comprehension = timed("same with a list comprehension",
                          lambda: [o for o in orders if o.status == "paid" and o.amount in (1, 2, 3)])
    check("index answer equals the comprehension", paid, comprehension)
    print("\ndone")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
