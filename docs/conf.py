"""Sphinx configuration of vexolin's documentation site (`make docs`)."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import vexolin

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # _apicheck, _gallery_order

project = "vexolin"
author = "the vexolin developers"
copyright = "the vexolin developers"
release = vexolin.__version__  # set once, in python/vexolin/__init__.py
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.viewcode",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "_apicheck",
]

templates_path = ["_templates"]
exclude_patterns = ["DOCSTRING_TODO.md", "examples", "auto_examples/*.ipynb", "auto_examples/*.py", "**/*.zip",
                    "conftest.py"]
root_doc = "index"
default_role = "py:obj"
nitpicky = True  # every cross-reference must resolve

# Signatures without annotations: the numpydoc sections give every type in words.
autodoc_typehints = "none"
autodoc_default_options = {"member-order": "bysource"}
autosummary_generate = True
autosummary_imported_members = True

# numpydoc: the class pages list their members themselves (templates).
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
# Every public name's docstring is checked; these checks are left out
# everywhere as matters of this project's style, not of correctness:
# GL01 (summary on the line of the opening quotes), ES01 (an extended
# summary), SA01 (a See Also section), SS05 (the summary's first word is
# not guessed to be a verb).
numpydoc_validation_checks = {"all", "GL01", "ES01", "SA01", "SS05"}

# The gallery: each example makes its own audio and its figures are drawn
# when the docs are built.
sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"__init__\.py",
    "within_subsection_order": "_gallery_order.ReadingOrder",
    "doc_module": ("vexolin",),
    "backreferences_dir": "api/generated/backrefs",
    "reference_url": {"vexolin": None},
    "abort_on_example_error": True,
    "remove_config_comments": True,
    "download_all_examples": False,
    "matplotlib_animations": False,
    "show_memory": False,
    "image_scrapers": ("matplotlib",),
    # Only what an example prints is shown, not the value of a block's last line.
    "capture_repr": (),
}

# Figures in the pages (``.. plot::``): drawn when the docs are built, from
# the code shown above them.
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]

# The API pages of the transforms end with a figure drawn by a script in
# api/figures, under its caption (the function page template reads them).
_FIGURE_CAPTIONS = {
    "cqt.py": "The transform's magnitudes in dB, 84 bins from C1, of :func:`vexolin.example_audio`: "
              "C, G, A minor and F chords, every note with five partials.",
    "cqt_magnitude.py": "Magnitudes at 36 bins per octave from C2: each note and its partials a "
                        "line a third of a semitone wide.",
    "chroma_cqt.py": "Chroma of the example progression, drawn from its sums (``norm=None``) and "
                     "spelled for its estimated key.",
    "chroma_cens.py": "CENS of the example progression: quantised and smoothed over about two "
                      "seconds, every frame of unit length.",
    "vqt.py": "The constant-Q and the variable-Q transform (ERB bands) of the example progression: "
              "the low bins' wider bands and shorter filters smear each chord change less in time "
              "and the partials more in frequency.",
    "hcqt.py": "Channels 1, 2 and 3 of the harmonic transform of the example progression, on channel "
               "1's notes: channel h shows each note's h-th partial in the note's own row.",
}
_FIGURES = {"vexolin.cqt": "cqt.py", "vexolin.cqt_magnitude": "cqt_magnitude.py",
            "vexolin.chroma_cqt": "chroma_cqt.py", "vexolin.chroma_cens": "chroma_cens.py",
            "vexolin.vqt": "vqt.py", "vexolin.vqt_magnitude": "vqt.py",
            "vexolin.hcqt": "hcqt.py", "vexolin.hcqt_magnitude": "hcqt.py"}
autosummary_context = {"api_figures": {name: (script, _FIGURE_CAPTIONS[script]) for name, script in _FIGURES.items()}}

html_theme = "pydata_sphinx_theme"
html_title = f"vexolin {release}"
html_static_path = ["_static"]
html_favicon = "_static/favicon.svg"
html_css_files = ["vexolin.css"]
html_show_sourcelink = False
html_theme_options = {
    "logo": {"text": "vexolin"},
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "navbar_align": "left",
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars = {"index": [], "install": [], "quickstart": [], "speed": [], "engine": [], "changelog": []}
html_context = {"default_mode": "light"}

# The gallery's examples run in this process: no windows, the same fonts everywhere.
os.environ.setdefault("MPLBACKEND", "agg")



def _drop_modules_without_source(app, *args):
    # viewcode lists the extension modules in its index although they have no
    # Python source to show, so the index would link to pages that do not exist.
    modules = getattr(app.env, "_viewcode_modules", {})
    for name in [name for name, entry in modules.items() if entry is False]:
        del modules[name]
    return []


def setup(app):
    app.connect("html-collect-pages", _drop_modules_without_source, priority=400)
