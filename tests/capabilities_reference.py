"""Plain-Python renditions of capability-map detection and rendering.

The differential tests and the benchmark hold orvane.capabilities to these:
detection searches each tree with the host's own Path.rglob, once per
directory walked up, exactly as described for the module; rendering works on
an already loaded map.
"""
from pathlib import Path

MAP_NAME = "capability-map.json"


def _first_file(root):
    """The first match of root.rglob(MAP_NAME) that is a regular file, or None.

    An error while deciding whether a match is a regular file (a permission
    error, above all) ends the search without a result.
    """
    try:
        for match in root.rglob(MAP_NAME):
            if match.is_file():
                return str(match)
    except OSError:
        pass
    return None


def _exists(path):
    try:
        return path.exists()
    except OSError:
        return False


def _home():
    try:
        return Path.home()
    except RuntimeError:
        return None


def auto_detect(target):
    path = Path(target)
    try:
        if not path.is_dir():
            return None
    except OSError:
        return None
    found = _first_file(path)
    if found is not None:
        return found
    if _exists(path / ".git"):
        return None
    for parent in path.parents:
        found = _first_file(parent)
        if found is not None:
            return found
        if _exists(parent / ".git") or parent == _home() or parent == parent.parent:
            return None
    return None


# ------------------------------------------------------------------ rendering

def humanize(key):
    return key.replace("_", " ").replace("-", " ").title()


def item_label(item):
    if "name" in item:
        name = item["name"]
    elif "title" in item:
        name = item["title"]
    else:
        name = "unnamed"
    kind = item.get("type", "")
    return f"{name!s} ({kind!s})" if kind else str(name)


def format_field(content):
    if isinstance(content, str):
        return "    " + content.replace("\n", "\n    ")
    if isinstance(content, list):
        return "    " + "\n    ".join(str(x) for x in content)
    if isinstance(content, dict):
        return "    " + "\n    ".join(f"{k!s}: {v!s}" for k, v in content.items())
    return "    " + str(content)


def _scalar(value):
    return isinstance(value, (int, float, str))


def format_for_prompt(data):
    if not data:
        return ""
    lines = ["AVAILABLE CAPABILITIES:"]
    for section, body in data.items():
        if section.startswith("_") or section == "generated_at":
            continue
        if not isinstance(body, dict):
            continue
        items = body.get("items", [])
        if isinstance(items, list) and items:
            labels = [item_label(i) for i in items[:10] if isinstance(i, dict)]
            total = body.get("total", len(items))
            suffix = f" (+{total - len(labels)!s} more)" if total > len(labels) else ""
            lines.append(f"  {humanize(section)}: {', '.join(labels)}{suffix}")
        elif body.get("total", 0) > 0:
            total = body.get("total", 0)
            parts = [f"{humanize(k)}: {v!s}" for k, v in body.items()
                     if k not in ("items", "total") and _scalar(v)]
            summary = f"{total!s} total"
            if parts:
                summary += f" ({', '.join(parts)})"
            lines.append(f"  {humanize(section)}: {summary}")
        else:
            facts = [f"{humanize(k)}: {v!s}" for k, v in body.items() if _scalar(v)]
            if facts:
                lines.append(f"  {humanize(section)}: {', '.join(facts)}")
    if len(lines) == 1:
        return ""
    return "\n".join(lines)


def render_item_field(data, field_names, header):
    if not data:
        return ""
    lines = [header]
    found = False
    for _section, body in data.items():
        if not isinstance(body, dict):
            continue
        for item in body.get("items", []):
            if not isinstance(item, dict):
                continue
            value = None
            for field in field_names:
                if field in item:
                    value = item[field]
                    break
            if value is None:
                continue
            name = item.get("name", "unnamed")
            kind = item.get("type", "")
            label = f"{name!s} ({kind!s})" if kind else str(name)
            lines.append(f"\n  {label}:\n{format_field(value)}")
            found = True
    if not found:
        return ""
    return "\n".join(lines)


EFFECTOR = (("invocation", "invoke", "usage"),
            "EFFECTOR REFERENCE (how to invoke available tools):")
MEASUREMENT = (("measurement", "measure", "verify"),
               "MEASUREMENT TOOLS (verify action outcomes):")
