import sys

from keldra_lineage.cli import main

sys.exit(main())
