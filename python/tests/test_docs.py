"""The guide's world file loads with json.load, as a Python user would load it."""

import json
import re
from pathlib import Path

GUIDE = Path(__file__).resolve().parent.parent.parent / "docs" / "python.md"


def test_the_guides_world_file_is_plain_json():
    blocks = re.findall(r"```json\n(.*?)```", GUIDE.read_text(), re.S)
    assert blocks
    world = json.loads(blocks[0])
    assert world["devices"][0]["phone"]["replies"] == {"AT\r": "\r\nOK\r\n"}
